#include "app/dialog_numbers.h"

#include <cctype>
#include <charconv>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

bool ParseDialogInt(const std::string& text, int& value)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    if (begin < end && text[begin] == '+')
        ++begin;  // from_chars takes '-' but not '+'
    if (begin == end || (text[begin] == '-' && begin + 1 == end))
        return false;
    int parsed = 0;
    const auto [stop, error] = std::from_chars(text.data() + begin, text.data() + end, parsed);
    if (error != std::errc() || stop != text.data() + end)
        return false;
    value = parsed;
    return true;
}

std::string NotAnIntegerPrompt()
{
    return "정수를 입력하십시오.";
}

std::string IntegerRangePrompt(int low, int high)
{
    return std::to_string(low) + "에서 " + std::to_string(high) + " 사이의 정수를 입력하십시오.";
}

bool TakeDialogInt(const std::string& text, int low, int high, int& value, std::string& prompt)
{
    int parsed = 0;
    if (!ParseDialogInt(text, parsed)) {
        prompt = NotAnIntegerPrompt();
        return false;
    }
    if (parsed < low || parsed > high) {
        prompt = IntegerRangePrompt(low, high);
        return false;
    }
    value = parsed;
    return true;
}
