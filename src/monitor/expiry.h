#pragma once
#include <optional>

#include "config/fixed_date.h"

// Whether a certificate that ends on year-month-day is due for a warning
// days ahead of now: its end (local midnight at the start of that day) lies
// no more than days days after now, fractions of a day counted. nullopt when
// the end is not a calendar date.
std::optional<bool> IsExpiryDue(int year, int month, int day, int days, const LocalDateTime& now);
