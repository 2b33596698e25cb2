// The text of the error a call throws, for tests that check messages.
#pragma once

#include <exception>
#include <string>

// The what() of the exception fn throws; empty when it returns normally.
template <class Fn> std::string ErrorText(Fn &&fn)
{
    try {
        fn();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}
