// SPDX-License-Identifier: MIT
// Parsing of C++ function signatures such as __PRETTY_FUNCTION__ gives them.
#pragma once

#include <string>

// "void A::B::f(const QString&)" -> "A::B::f": no return type, no parameters.
inline std::string qualifiedFunctionName(const char *signature)
{
    std::string text(signature ? signature : "");
    const auto paren = text.find('(');
    if (paren != std::string::npos)
        text.erase(paren);
    const auto blank = text.rfind(' ');
    if (blank != std::string::npos)
        text.erase(0, blank + 1);
    // A pointer or reference return type may stick to the name ("QString *f").
    const auto first = text.find_first_not_of("*&");
    return first == std::string::npos ? std::string() : text.substr(first);
}
