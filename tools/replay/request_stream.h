// The events input read and parsed ahead on threads of its own, handed out
// as requests strictly in the order of the lines.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "event_reader.h"
#include "line_source.h"

class RequestStream
{
public:
    // Lines read ahead are charged what they cost until handed out: their
    // text and an estimate of the values parsed from it, by the objects the
    // text opens (a parsed flow with its members takes about this much).
    static constexpr size_t parsed_object_cost = 1664;
    // Lines read ahead are handed to the parsers in batches of at most this
    // many lines and this cost; a batch goes early when the input has no
    // whole line ready, so that a line typed or piped in slowly is not held
    // back.
    static constexpr size_t batch_lines = 256;
    static constexpr size_t batch_cost = 4 * 1024 * 1024;
    // The cost of the lines read but not yet handed out; beyond it the
    // reading waits. One batch is let through whatever its cost.
    static constexpr size_t max_cost_ahead = 64 * 1024 * 1024;
    // Parser threads at most: enough to keep ahead of the plug-in.
    static constexpr unsigned max_parsers = 6;

    explicit RequestStream(LineSource &source);
    // Stops the reading (also while it waits for input) and the parsers.
    ~RequestStream();

    RequestStream(const RequestStream &) = delete;
    RequestStream &operator=(const RequestStream &) = delete;

    // The next request, in line order; false at the end of the input. Throws
    // what reading or parsing the line threw (InputError for a bad line,
    // std::runtime_error when reading fails); nothing after it is handed out.
    bool Next(ReplayRequest &request);
    // Number (from 1) of the line Next returned or failed on last.
    size_t LineNumber() const { return line_number; }

private:
    struct Line {
        size_t number = 0;
        std::string text;
        std::optional<ReplayRequest> request;  // none: read in its turn
        std::exception_ptr error;
    };
    struct Batch {
        std::vector<Line> lines;
        size_t cost = 0;
        bool parsed = false;
        // The last batch: the input ended, or reading it failed.
        bool last = false;
        std::exception_ptr end_error;
        size_t end_line = 0;
    };
    using BatchPtr = std::shared_ptr<Batch>;

    void Stop();
    static size_t LineCost(const std::string &text);
    void ReadAhead();
    void ReadLines(BatchPtr &batch);
    // False when the stream is stopping.
    bool Submit(const BatchPtr &batch);
    void Parse();
    static void ParseBatch(Batch &batch);
    // The next line of the current batch or of the batches after it; false
    // at the end of the last batch.
    bool TakeLine(Line *&line);
    void ReleaseCurrent();

    LineSource &source;
    std::mutex lock;
    std::condition_variable room;      // the reader waits for lines to be handed out
    std::condition_variable work;      // the parsers wait for batches
    std::condition_variable finished;  // Next waits for the oldest batch
    std::deque<BatchPtr> in_order;     // every batch not yet handed out
    std::deque<BatchPtr> to_parse;
    size_t cost_ahead = 0;
    bool stopping = false;

    BatchPtr current;  // Next's batch, taken from in_order
    size_t next_index = 0;
    size_t line_number = 0;

    std::vector<std::thread> parsers;
    std::thread reader;
};
