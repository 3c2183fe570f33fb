// Whole numbers typed into dialog edits, read and range-checked the way the
// dialog framework's data exchange does it: a bad entry gets a prompt and
// keeps the dialog open.
#pragma once

#include <string>

// Optional blanks, an optional sign, decimal digits, optional blanks; the
// value must fit an int. False for anything else, an empty text included.
bool ParseDialogInt(const std::string& text, int& value);

// The framework's prompts for a text that is no whole number and for one
// outside [low, high].
std::string NotAnIntegerPrompt();
std::string IntegerRangePrompt(int low, int high);

// Reads `text` into `value` if it is a whole number in [low, high]; else
// returns the prompt to show and leaves `value` alone.
bool TakeDialogInt(const std::string& text, int low, int high, int& value, std::string& prompt);
