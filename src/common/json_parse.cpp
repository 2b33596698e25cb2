// Parsing of the JSON reader: the input the parser reads (a text, or a file
// piece by piece), the document builder, and the two entry points every
// reader of a whole document uses.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/json_sax.h"
#include "common/thread_toolkit.h"

namespace vppJson {
namespace {

// Keys longer than this are cut in messages.
constexpr size_t max_quoted_key_length = 80;

std::string Quoted(const std::string &key)
{
    std::string shown = key.size() > max_quoted_key_length ? key.substr(0, max_quoted_key_length) + "..." : key;
    return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
}

size_t CountLines(const char *begin, const char *end)
{
    return static_cast<size_t>(std::count(begin, end, '\n'));
}

}  // namespace

DocumentError::DocumentError(const std::string &source, const std::string &problem)
    : std::runtime_error(source + ": " + problem), source(source), problem(problem)
{
}

StructureError::StructureError(const std::string &source, size_t line, const std::string &rule,
                               std::optional<std::string> duplicate_key)
    : DocumentError(source, "line " + std::to_string(line) + ": " + rule), line(line), rule(rule),
      duplicate_key(std::move(duplicate_key))
{
}

Stopped::Stopped(const std::string &source) : DocumentError(source, "read cut short by a stop") {}

// ---- Input -------------------------------------------------------------------

Input::Input(std::string_view text, std::string source) : source(std::move(source))
{
    Take(text);
}

Input::Input(const std::string &path, size_t max_size) : source(path), max_size(max_size)
{
    file.emplace(path);
    if (file->Status() == vppFile::ReadStatus::missing)
        throw ReadError(path, std::strerror(ENOENT));
    if (file->Status() != vppFile::ReadStatus::ok)
        throw ReadError(path, file->Error());
    if (file->Size() > max_size)
        throw ReadError(path, "larger than " + std::to_string(max_size) + " bytes");
    NextPiece();
}

size_t Input::Line() const
{
    return lines_before_piece + CountLines(piece_begin, at) + 1;
}

void Input::ThrowIfCut() const
{
    switch (cut) {
    case Cut::none:
        return;
    case Cut::nul:
        throw StructureError(source, cut_line, "NUL byte");
    case Cut::stop:
        throw Stopped(source);
    case Cut::read:
        throw ReadError(source, read_error);
    }
}

bool Input::CheckStop()
{
    if (cut == Cut::none && stop.Requested())
        CutShort(Cut::stop);
    return cut == Cut::stop;
}

void Input::NextPiece()
{
    lines_before_piece += CountLines(piece_begin, piece_end);
    piece_begin = at = piece_end;
    if (!file || cut != Cut::none || CheckStop())
        return;
    std::string_view piece;
    if (!file->Next(piece)) {
        if (!file->Error().empty()) {
            read_error = file->Error();
            CutShort(Cut::read);
        }
        return;
    }
    read_so_far += piece.size();
    // The file may have grown since it was opened.
    if (read_so_far > max_size) {
        read_error = "larger than " + std::to_string(max_size) + " bytes";
        CutShort(Cut::read);
        return;
    }
    Take(piece);
}

void Input::Take(std::string_view piece)
{
    piece_begin = at = piece.data();
    piece_end = piece.data() + piece.size();
    if (const void *nul = std::memchr(piece.data(), '\0', piece.size())) {
        piece_end = static_cast<const char *>(nul);
        cut_line = lines_before_piece + CountLines(piece_begin, piece_end) + 1;
        cut = Cut::nul;
    }
}

void Input::CutShort(Cut why)
{
    cut = why;
    at = piece_end;
}

// ---- Documents -----------------------------------------------------------------

void ValueBuilder::Key(std::string &key)
{
    json &object = *open.back();
    if (keys == Keys::unique && object.contains(key))
        throw StructureError(input->Source(), input->Line(), "duplicate key " + Quoted(key), key);
    member = &object[std::move(key)];
}

json *ValueBuilder::Place(json &&value)
{
    if (open.empty()) {
        root = std::move(value);
        complete = !root.is_structured();
        return &root;
    }
    json &parent = *open.back();
    if (parent.is_array()) {
        parent.push_back(std::move(value));
        return &parent.back();
    }
    *member = std::move(value);
    return member;
}

void ValueBuilder::Close()
{
    open.pop_back();
    complete = open.empty();
}

json ParseText(std::string_view text, const std::string &source, Comments comments, Keys keys)
{
    Input input(text, source);
    ValueBuilder builder(keys, input);
    Parse(input, builder, comments);
    return builder.Take();
}

json ParseFile(const std::string &path, size_t max_size, Keys keys)
{
    Input input(path, max_size);
    ValueBuilder builder(keys, input);
    Parse(input, builder, Comments::allowed);
    return builder.Take();
}

}  // namespace vppJson
