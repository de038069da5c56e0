// Reset-set latch with reset priority.
#pragma once

namespace corvane {

struct RSLatch {
    enum class Row { Set, Reset, Hold };

    bool Q = false;       // output
    bool nQ = true;       // inverted output
    bool stored = false;  // Q of the previous call

    // Which row of the truth table a call takes: reset wins over set.
    static Row row(bool S, bool R) {
        if (R) return Row::Reset;
        return S ? Row::Set : Row::Hold;
    }

    void step(bool S, bool R) {
        const Row r = row(S, R);
        Q = r == Row::Set ? true : r == Row::Reset ? false : stored;
        stored = Q;
        nQ = !Q;
    }
};

}  // namespace corvane
