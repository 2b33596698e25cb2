// The one JSON grammar of the plug-in: the JSON library's own parser, driven
// through its event interface, with the reader's rules kept as the text goes
// by (nesting at most 64 levels, no NUL byte, the reading thread's stop), and
// a handler that builds what the reader needs: a document, or a data set
// straight from the events, never a tree of the whole text first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_reader.h"
#include "common/json_reader.h"
#include "common/thread_toolkit.h"

namespace vppJson {

// The bytes of one text for the parser, a piece at a time: a text in memory
// is one piece, a file is read piece by piece, so memory follows what the
// handler keeps. Counts lines for messages, ends the text early at a NUL
// byte (which the parser would take silently for its end) or a stop.
class Input
{
public:
    // A text in memory, not copied; source names it in errors.
    Input(std::string_view text, std::string source);
    // A regular file of at most max_size bytes, named by its path; throws
    // ReadError when it cannot be opened or is too large.
    Input(const std::string &path, size_t max_size);

    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    const std::string &Source() const { return source; }
    // The line (from 1) of the next byte the parser reads.
    size_t Line() const;
    // Throws what ended the text early: StructureError (NUL byte), Stopped
    // or ReadError. Nothing when the text was read whole.
    void ThrowIfCut() const;
    // Whether the reading thread was asked to stop (a read that has run
    // its grace, vppThread::ReadStop); ends the text if so.
    bool CheckStop();

    // The parser's view: a single-pass iterator over the bytes.
    class Iterator
    {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char *;
        using reference = const char &;

        Iterator() = default;
        explicit Iterator(Input *input) : input(input) {}

        reference operator*() const { return *input->at; }
        Iterator &operator++()
        {
            if (++input->at == input->piece_end)
                input->NextPiece();
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const Iterator &a, const Iterator &b) { return a.AtEnd() == b.AtEnd(); }

    private:
        bool AtEnd() const { return input == nullptr || input->at == input->piece_end; }
        Input *input = nullptr;
    };

    Iterator begin() { return Iterator(this); }
    Iterator end() { return Iterator(); }

private:
    enum class Cut { none, nul, stop, read };

    // Moves past the finished piece to the next one; at the end of the text
    // at == piece_end stays.
    void NextPiece();
    // Makes piece the current one, ending the text before a NUL byte.
    void Take(std::string_view piece);
    void CutShort(Cut why);

    std::string source;
    std::optional<vppFile::SequentialReader> file;
    size_t max_size = 0;
    uint64_t read_so_far = 0;
    const char *piece_begin = nullptr;
    const char *at = nullptr;
    const char *piece_end = nullptr;
    size_t lines_before_piece = 0;
    Cut cut = Cut::none;
    size_t cut_line = 0;
    std::string read_error;
    vppThread::ReadStop stop;
};

namespace detail {

// Between the library's parser and a handler: counts the depth, checks the
// stop now and then, and turns the parser's error into SyntaxError.
template <class Handler> class Guard
{
public:
    Guard(Handler &handler, Input &input) : handler(handler), input(input) {}

    bool null() { return Scalar(json(nullptr)); }
    bool boolean(bool value) { return Scalar(json(value)); }
    bool number_integer(json::number_integer_t value) { return Scalar(json(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return Scalar(json(value)); }
    bool number_float(json::number_float_t value, const json::string_t &) { return Scalar(json(value)); }
    bool string(json::string_t &value)
    {
        Tick();
        handler.String(value);
        return true;
    }
    bool binary(json::binary_t &) { return false; }  // never in JSON text
    bool start_object(std::size_t)
    {
        Enter();
        handler.StartObject();
        return true;
    }
    bool key(json::string_t &key)
    {
        handler.Key(key);
        return true;
    }
    bool end_object()
    {
        depth--;
        handler.EndObject();
        return true;
    }
    bool start_array(std::size_t)
    {
        Enter();
        handler.StartArray();
        return true;
    }
    bool end_array()
    {
        depth--;
        handler.EndArray();
        return true;
    }
    bool parse_error(std::size_t, const std::string &, const json::exception &error)
    {
        // A text ended early is reported for why it ended.
        input.ThrowIfCut();
        throw SyntaxError(input.Source(), error.what());
    }

private:
    // Often enough that a stop is seen within a fraction of a second.
    static constexpr unsigned events_between_stop_checks = 4096;

    bool Scalar(json &&value)
    {
        Tick();
        handler.Value(std::move(value));
        return true;
    }

    void Enter()
    {
        Tick();
        if (++depth > max_nesting_depth)
            throw StructureError(input.Source(), input.Line(),
                                 "nested deeper than " + std::to_string(max_nesting_depth) + " levels");
    }

    void Tick()
    {
        if (++events % events_between_stop_checks == 0 && input.CheckStop())
            input.ThrowIfCut();
    }

    Handler &handler;
    Input &input;
    size_t depth = 0;
    unsigned events = 0;
};

}  // namespace detail

// Parses input, handing its events to handler:
//   Value(json &&scalar)  null, booleans and numbers
//   String(std::string &) strings that are values (the handler may move it)
//   StartObject(), Key(std::string &), EndObject(), StartArray(), EndArray()
// A handler stops the parse by throwing. Throws StructureError, SyntaxError,
// Stopped and ReadError as well.
template <class Handler> void Parse(Input &input, Handler &handler, Comments comments)
{
    detail::Guard<Handler> guard(handler, input);
    json::sax_parse(input.begin(), input.end(), &guard, json::input_format_t::json, true,
                    comments == Comments::allowed);
    input.ThrowIfCut();
}

// Builds the document of one value from its events, as the JSON library
// builds it, a key given twice refused or its last value kept.
class ValueBuilder
{
public:
    // input names the place of a refused duplicate.
    ValueBuilder(Keys keys, const Input &input) : keys(keys), input(&input) {}

    void Value(json &&value) { Place(std::move(value)); }
    void String(std::string &text) { Place(json(std::move(text))); }
    void StartObject() { open.push_back(Place(json::object())); }
    void Key(std::string &key);
    void EndObject() { Close(); }
    void StartArray() { open.push_back(Place(json::array())); }
    void EndArray() { Close(); }

    // Whether the value is whole.
    bool Complete() const { return complete; }
    json Take() { return std::move(root); }

private:
    json *Place(json &&value);
    void Close();

    const Keys keys;
    const Input *input;
    json root;
    std::vector<json *> open;
    json *member = nullptr;  // where an object's next value goes
    bool complete = false;
};

}  // namespace vppJson
