// The error for input the replay host cannot accept: it names the member
// (a path such as "flow.stats.lower_bytes") and what was wrong with it.
#pragma once

#include <stdexcept>
#include <string>

class InputError : public std::runtime_error
{
public:
    InputError(const std::string &member, const std::string &problem)
        : std::runtime_error(member.empty() ? problem : member + ": " + problem), member_path(member)
    {
    }

    const std::string &Member() const { return member_path; }

private:
    std::string member_path;
};
