// Handlers that take the parser's events a value at a time (common/json_sax.h):
// the interface of a handler built as the text is read, one that passes over
// a value, and the routing of each member's value to one of them until the
// value is whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/json_sax.h"

namespace vppJson {

// A handler of one value's events that says when the value is whole: a
// data set built straight from the parser's events, for readers that do
// not know its type.
class ValueStream
{
public:
    virtual ~ValueStream() = default;

    virtual void Value(json &&value) = 0;
    virtual void String(std::string &text) = 0;
    virtual void StartObject() = 0;
    virtual void Key(std::string &key) = 0;
    virtual void EndObject() = 0;
    virtual void StartArray() = 0;
    virtual void EndArray() = 0;
    virtual bool Complete() const = 0;
};

// Passes over one value, counting its depth.
class Skipper
{
public:
    void Value(json &&) { Scalar(); }
    void String(std::string &) { Scalar(); }
    void StartObject() { depth++; }
    void Key(std::string &) {}
    void EndObject() { Close(); }
    void StartArray() { depth++; }
    void EndArray() { Close(); }
    bool Complete() const { return complete; }

private:
    void Scalar() { complete = depth == 0; }
    void Close() { complete = --depth == 0; }

    size_t depth = 0;
    bool complete = false;
};

// Where the events of one member's value go until the value is whole: passed
// over, built as a document into a target, or streamed into a handler the
// caller keeps.
class Sink
{
public:
    bool Active() const { return kind != Kind::none; }
    void Skip()
    {
        kind = Kind::skip;
        skipper.emplace();
    }
    void Build(const Input &input, json &into)
    {
        kind = Kind::value;
        builder.emplace(Keys::last_wins, input);
        target = &into;
    }
    void Stream(ValueStream &into)
    {
        kind = Kind::stream;
        stream = &into;
    }

    // Hands the event on; true when it completed the value (a built one is
    // then delivered to its target).
    template <class Event> bool Forward(Event &&event)
    {
        switch (kind) {
        case Kind::skip:
            event(*skipper);
            if (!skipper->Complete())
                return false;
            break;
        case Kind::value:
            event(*builder);
            if (!builder->Complete())
                return false;
            *target = builder->Take();
            break;
        case Kind::stream:
            event(*stream);
            if (!stream->Complete())
                return false;
            break;
        case Kind::none:
            return false;
        }
        kind = Kind::none;
        return true;
    }

private:
    enum class Kind { none, skip, value, stream };
    Kind kind = Kind::none;
    std::optional<Skipper> skipper;
    std::optional<ValueBuilder> builder;
    json *target = nullptr;
    ValueStream *stream = nullptr;
};

// The events of a handler that routes values to a Sink: each one goes to
// the active sink (Derived::Route is false when none is), or to the
// handler's own step for its own level.
template <class Derived> class Routed
{
public:
    void Value(json &&value)
    {
        if (!Self().Route([&](auto &h) { h.Value(std::move(value)); }))
            Self().OwnValue(std::move(value));
    }
    void String(std::string &text)
    {
        if (!Self().Route([&](auto &h) { h.String(text); }))
            Self().OwnString(text);
    }
    void StartObject()
    {
        if (!Self().Route([](auto &h) { h.StartObject(); }))
            Self().OwnOpen(true);
    }
    void StartArray()
    {
        if (!Self().Route([](auto &h) { h.StartArray(); }))
            Self().OwnOpen(false);
    }
    void Key(std::string &key)
    {
        if (!Self().Route([&](auto &h) { h.Key(key); }))
            Self().OwnKey(key);
    }
    void EndObject()
    {
        if (!Self().Route([](auto &h) { h.EndObject(); }))
            Self().OwnClose();
    }
    void EndArray()
    {
        if (!Self().Route([](auto &h) { h.EndArray(); }))
            Self().OwnClose();
    }

private:
    Derived &Self() { return static_cast<Derived &>(*this); }
};

}  // namespace vppJson
