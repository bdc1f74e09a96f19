#pragma once

#include <cmath>
#include <limits>

// Truncates toward zero into an int, holding values beyond its range at the
// nearest limit; NaN gives 0. Numbers read from the external programs' output
// can be of any size, and a plain cast of an out-of-range double is undefined.
inline int saturatedInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0)
        return std::numeric_limits<int>::max();
    if (value <= -2147483649.0)
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}
