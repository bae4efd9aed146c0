#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

// One argument of a text template: a number or a text.
using FormatArg = std::variant<long long, std::wstring_view>;

// Fills a template that may come from a language file. Understands %d, %s
// (with flags "-" and "0", a width and a precision, as in "%.4d") and %%.
// A placeholder is filled only from the argument at its position: a number
// for %s or a text for %d is written as it stands, and a placeholder with no
// argument left stays in the text as written. Width and precision are capped,
// so no template can make the result grow without bound.
std::wstring SafeFormat(std::wstring_view tmpl, std::initializer_list<FormatArg> args);
