#pragma once
// Text forms of numbers in the DOTZ files and on screen.
#include <cstdint>
#include <string>

namespace dotz {

// Most bytes that putGeneralText / putAmountText write for any double.
constexpr size_t kMaxNumberText = 340;

// General form: at most 15 significant digits, trailing zeros dropped, no
// separator for a whole value, "," before a fraction (Brazilian regional form).
// Below 0.00001 or from 1e15 on, a scientific form like "1,5E-6" / "1E20".
char* putGeneralText(char* out, double value);
std::string generalText(double value);

// Amount: rounded to two decimals, half away from zero, on the decimal value the
// double stands for at 15 significant digits (so 1.005 gives "1.01"); "." as the
// separator, always two decimals, "-" when negative, never "-0.00".
char* putAmountText(char* out, double value);
std::string amountText(double value);

// The same forms of hundredths / 100, as a column held in hundredths gives
// them, without the double: the same bytes.
char* putGeneralHundredths(char* out, int32_t hundredths);
char* putAmountHundredths(char* out, int32_t hundredths);

} // namespace dotz
