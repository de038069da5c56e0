// One record line of the raw lab data file, exactly as the recorder forms it:
// "<export time>,<lab time>,<lab value>\n", each time "%Y-%m-%d %H:%M:%S" (the
// year as strftime writes it: an optional sign and up to 10 digits), the value a
// finite float in the interpreter's shortest round-trip form. A restored
// state's pending records must be such lines, which bounds what a crafted state
// can make the recorder write, and the memory it can ask for.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace corvane::bind {

inline constexpr std::size_t kMaxRecordLine = 2 * 26 + 2 + 32 + 1;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Takes a time stamp off the front of s.
inline bool take_time_stamp(std::string_view& s) {
    std::size_t i = s.empty() || s[0] != '-' ? 0 : 1;
    const std::size_t year = i;
    while (i < s.size() && i - year < 10 && is_digit(s[i])) ++i;
    if (i == year) return false;
    for (char p : std::string_view("-00-00 00:00:00")) {
        if (i == s.size() || (p == '0' ? !is_digit(s[i]) : s[i] != p)) return false;
        ++i;
    }
    s.remove_prefix(i);
    return true;
}

// Whether s is a finite float written as repr() writes it.
inline bool is_float_repr(std::string_view s) {
    char buf[33];
    if (s.empty() || s.size() >= sizeof buf || s.find_first_not_of("0123456789.e+-") != std::string_view::npos)
        return false;
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    char* end = nullptr;
    const double x = PyOS_string_to_double(buf, &end, nullptr);
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (end != buf + s.size() || !std::isfinite(x)) return false;
    char* back = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!back) {
        PyErr_Clear();
        return false;
    }
    const bool same = std::strcmp(back, buf) == 0;
    PyMem_Free(back);
    return same;
}

inline bool is_record_line(std::string_view s) {
    if (s.size() > kMaxRecordLine || !take_time_stamp(s) || s.empty() || s[0] != ',') return false;
    s.remove_prefix(1);
    if (!take_time_stamp(s) || s.empty() || s[0] != ',' || s.back() != '\n') return false;
    return is_float_repr(s.substr(1, s.size() - 2));
}

}  // namespace corvane::bind
