#include "request_stream.h"

#include <algorithm>
#include <cstring>

RequestStream::RequestStream(LineSource &source) : source(source)
{
    unsigned cores = std::thread::hardware_concurrency();
    unsigned count = std::clamp(cores > 2 ? cores - 2 : 1u, 1u, max_parsers);
    try {
        for (unsigned index = 0; index < count; index++)
            parsers.emplace_back([this] { Parse(); });
        reader = std::thread([this] { ReadAhead(); });
    } catch (...) {
        Stop();
        throw;
    }
}

RequestStream::~RequestStream()
{
    Stop();
}

void RequestStream::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    room.notify_all();
    work.notify_all();
    source.Interrupt();
    if (reader.joinable())
        reader.join();
    for (auto &parser : parsers)
        parser.join();
    parsers.clear();
}

// ---- The reading thread ----------------------------------------------------

// Every object counts, also a brace inside a string: an estimate from above.
size_t RequestStream::LineCost(const std::string &text)
{
    size_t objects = 0;
    const char *at = text.data();
    const char *end = at + text.size();
    while ((at = static_cast<const char *>(std::memchr(at, '{', static_cast<size_t>(end - at))))) {
        objects++;
        at++;
    }
    return text.size() + objects * parsed_object_cost;
}

void RequestStream::ReadAhead()
{
    auto batch = std::make_shared<Batch>();
    try {
        ReadLines(batch);
    } catch (...) {
        // Handed out after the lines before it, as the error of its line.
        batch->end_error = std::current_exception();
        batch->end_line = source.LineNumber();
    }
    batch->last = true;
    try {
        Submit(batch);
    } catch (...) {
        // Only a failing lock: nothing is left to hand the error to.
    }
}

void RequestStream::ReadLines(BatchPtr &batch)
{
    std::string text;
    for (;;) {
        bool full = batch->lines.size() == batch_lines || batch->cost >= batch_cost;
        if (!batch->lines.empty() && (full || !source.LineBuffered())) {
            if (!Submit(batch))
                return;
            batch = std::make_shared<Batch>();
        }
        if (!source.Next(text))
            return;
        batch->cost += LineCost(text);
        batch->lines.push_back(Line{source.LineNumber(), std::move(text), std::nullopt, nullptr});
    }
}

bool RequestStream::Submit(const BatchPtr &batch)
{
    {
        std::unique_lock<std::mutex> guard(lock);
        room.wait(guard, [&] { return stopping || cost_ahead == 0 || cost_ahead + batch->cost <= max_cost_ahead; });
        if (stopping)
            return false;
        cost_ahead += batch->cost;
        in_order.push_back(batch);
        to_parse.push_back(batch);
    }
    work.notify_one();
    return true;
}

// ---- The parsing threads ---------------------------------------------------

void RequestStream::Parse()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        work.wait(guard, [this] { return stopping || !to_parse.empty(); });
        if (stopping)
            return;
        BatchPtr batch = to_parse.front();
        to_parse.pop_front();
        guard.unlock();
        ParseBatch(*batch);
        guard.lock();
        batch->parsed = true;
        finished.notify_all();
    }
}

// Stops at the first bad line: nothing after it is handed out.
void RequestStream::ParseBatch(Batch &batch)
{
    for (size_t index = 0; index < batch.lines.size(); index++) {
        Line &line = batch.lines[index];
        try {
            line.request = ReadSelfContainedRequest(line.text);
            if (line.request)
                std::string().swap(line.text);
        } catch (...) {
            line.error = std::current_exception();
            return;
        }
    }
}

// ---- Handing out, on the caller's thread ------------------------------------

bool RequestStream::Next(ReplayRequest &request)
{
    Line *line = nullptr;
    if (!TakeLine(line))
        return false;
    line_number = line->number;
    if (line->error)
        std::rethrow_exception(line->error);
    request = line->request ? std::move(*line->request) : ReadRequest(line->text);
    return true;
}

bool RequestStream::TakeLine(Line *&line)
{
    while (!current || next_index == current->lines.size()) {
        if (current && current->last) {
            if (current->end_error) {
                line_number = current->end_line;
                std::rethrow_exception(current->end_error);
            }
            return false;
        }
        ReleaseCurrent();
        std::unique_lock<std::mutex> guard(lock);
        finished.wait(guard, [this] { return !in_order.empty() && in_order.front()->parsed; });
        current = in_order.front();
        in_order.pop_front();
        next_index = 0;
    }
    line = &current->lines[next_index++];
    return true;
}

void RequestStream::ReleaseCurrent()
{
    if (!current)
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        cost_ahead -= current->cost;
    }
    room.notify_one();
    current.reset();
}
