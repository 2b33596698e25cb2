// Parsing of the JSON reader: a linear check of the text's structure (depth,
// NUL bytes, duplicate keys, each with its line) before the JSON library
// parses it, so that nothing deep or ambiguous is ever built.
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/file_reader.h"
#include "common/json_reader.h"

namespace vppJson {
namespace {

// Keys longer than this are cut in messages.
constexpr size_t max_quoted_key_length = 80;

// One pass over the text, tracking strings and their escapes, comments,
// brackets, lines and the keys of every open object. Text that is not JSON
// is passed over: the parser reports it.
class StructureCheck
{
public:
    explicit StructureCheck(std::string_view text) : text(text) {}

    // The first problem in the text, or nullopt.
    std::optional<StructureProblem> Run()
    {
        while (at < text.size() && !problem && !gave_up)
            Step();
        return problem;
    }

private:
    struct Container {
        bool is_object = false;
        // In an object, whether the next string is a key.
        bool expects_key = false;
        std::unordered_set<std::string> keys;
    };

    void Step()
    {
        switch (text[at]) {
        case '"':
            String();
            return;
        case '/':
            Comment();
            return;
        case '{':
        case '[':
            Open(text[at] == '{');
            break;
        case '}':
        case ']':
            if (!open.empty())
                open.pop_back();
            break;
        case ',':
            if (!open.empty() && open.back().is_object)
                open.back().expects_key = true;
            break;
        default:
            Byte(text[at]);
            break;
        }
        at++;
    }

    // Counts lines and finds NUL bytes wherever they are.
    void Byte(char c)
    {
        if (c == '\n')
            line++;
        else if (c == '\0')
            Report(line, "NUL byte");
    }

    void Report(size_t where, std::string what, std::optional<std::string> duplicate_key = std::nullopt)
    {
        if (!problem)
            problem = StructureProblem{where, std::move(what), std::move(duplicate_key)};
    }

    void Open(bool is_object)
    {
        if (open.size() == max_nesting_depth) {
            Report(line, "nested deeper than " + std::to_string(max_nesting_depth) + " levels");
            return;
        }
        open.push_back(Container{is_object, is_object, {}});
    }

    void String()
    {
        const size_t start = at;
        const size_t start_line = line;
        bool escaped = false;
        for (at++; at < text.size() && !problem; at++) {
            char c = text[at];
            Byte(c);
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                break;
        }
        if (problem || at >= text.size())
            return;
        at++;
        if (!open.empty() && open.back().expects_key) {
            open.back().expects_key = false;
            Key(text.substr(start, at - start), start_line);
        }
    }

    void Key(std::string_view token, size_t key_line)
    {
        std::optional<std::string> key = Decode(token);
        if (!key) {
            gave_up = true;
            return;
        }
        if (!open.back().keys.insert(*key).second)
            Report(key_line, "duplicate key " + Quoted(*key), *key);
    }

    // The key a quoted token stands for; nullopt when it is not a valid string.
    static std::optional<std::string> Decode(std::string_view token)
    {
        if (token.find('\\') == std::string_view::npos)
            return std::string(token.substr(1, token.size() - 2));
        try {
            return json::parse(token).get<std::string>();
        } catch (const json::exception &) {
            return std::nullopt;
        }
    }

    static std::string Quoted(const std::string &key)
    {
        std::string shown = key.size() > max_quoted_key_length ? key.substr(0, max_quoted_key_length) + "..." : key;
        return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
    }

    // "//" to the end of the line, "/*" to "*/"; a lone "/" is the parser's.
    void Comment()
    {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        if (next != '/' && next != '*') {
            at++;
            return;
        }
        const bool to_line_end = next == '/';
        for (at += 2; at < text.size() && !problem; at++) {
            if (to_line_end && text[at] == '\n')
                return;  // the newline is counted by the next step
            if (!to_line_end && text[at] == '*' && at + 1 < text.size() && text[at + 1] == '/') {
                at += 2;
                return;
            }
            Byte(text[at]);
        }
    }

    std::string_view text;
    size_t at = 0;
    size_t line = 1;
    std::vector<Container> open;
    std::optional<StructureProblem> problem;
    bool gave_up = false;
};

}  // namespace

DocumentError::DocumentError(const std::string &source, const std::string &problem)
    : std::runtime_error(source + ": " + problem), source(source), problem(problem)
{
}

std::optional<StructureProblem> FindStructureProblem(std::string_view text)
{
    return StructureCheck(text).Run();
}

json ParseText(const std::string &text, const std::string &source, Comments comments)
{
    if (auto problem = FindStructureProblem(text))
        throw StructureError(source, "line " + std::to_string(problem->line) + ": " + problem->what);
    try {
        return json::parse(text, nullptr, true, comments == Comments::allowed);
    } catch (const json::exception &e) {
        throw SyntaxError(source, e.what());
    }
}

json ParseFile(const std::string &path, size_t max_size)
{
    vppFile::ReadResult file = vppFile::ReadBounded(path, max_size);
    switch (file.status) {
    case vppFile::ReadStatus::ok:
        return ParseText(file.text, path);
    case vppFile::ReadStatus::missing:
        throw ReadError(path, std::strerror(ENOENT));
    default:
        throw ReadError(path, file.error);
    }
}

}  // namespace vppJson
