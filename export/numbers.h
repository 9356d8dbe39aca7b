#pragma once
// Text forms of numbers in the DOTZ files and on screen.
#include <string>

namespace dotz {

// General form: at most 15 significant digits, trailing zeros dropped, no
// separator for a whole value, "," before a fraction (Brazilian regional form).
// Below 0.00001 or from 1e15 on, a scientific form like "1,5E-6" / "1E20".
std::string generalText(double value);
void appendGeneralText(std::string& out, double value);

// Amount: rounded to two decimals, half away from zero, on the decimal value the
// double stands for at 15 significant digits (so 1.005 gives "1.01"); "." as the
// separator, always two decimals, "-" when negative, never "-0.00".
std::string amountText(double value);
void appendAmountText(std::string& out, double value);

} // namespace dotz
