// On-delay and off-delay timers that count in calls.
//
// Each call shifts the stored input into a two-sample history (current,
// previous) and updates the remaining count ET from the level and the edges:
//   on-delay:  level 0 holds ET at DT; a rising edge starts the count;
//              the output is 1 once ET has run down to 0.
//   off-delay: a level above 0 holds ET at DT; a falling edge starts the
//              count; the output is 1 while ET is above 0.
// The count runs only while 0 < ET < DT, so the output changes DT - 1 calls
// after the call that saw the edge.
//
// Level is the type of the stored inputs (compared with 0 and with each
// other), Count the type of DT and ET (compared, and decreased by 1). Both
// default to integers; any type with these operators fits.
#pragma once

namespace corvane {

template <class Count = long long, class Level = long long>
struct OnDelay {
    Count DT = Count(3);                // delay, in calls
    Count ET = Count(0);                // remaining count
    int Yt = 0;                         // output of the last call
    Level u[2] = {Level(0), Level(0)};  // stored inputs: current, previous

    void step(const Level& in) {
        u[1] = u[0];
        u[0] = in;
        update(u[0], u[1]);
    }

    // One call's decision from the stored current and previous inputs.
    void update(const Level& cur, const Level& prev) {
        if (cur == 0) ET = DT;
        if (ET < DT && ET > 0) ET = ET - 1;
        if (cur > prev) ET = DT - 1;
        Yt = ET > 0 ? 0 : 1;
    }
};

template <class Count = long long, class Level = long long>
struct OffDelay {
    Count DT = Count(3);
    Count ET = Count(0);
    int Yt = 0;
    Level u[2] = {Level(0), Level(0)};

    void step(const Level& in) {
        u[1] = u[0];
        u[0] = in;
        update(u[0], u[1]);
    }

    void update(const Level& cur, const Level& prev) {
        if (cur > 0) ET = DT;
        if (ET < DT && ET > 0) ET = ET - 1;
        if (cur < prev) ET = DT - 1;
        Yt = ET > 0 ? 1 : 0;
    }
};

}  // namespace corvane
