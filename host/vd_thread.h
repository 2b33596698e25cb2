// The host's thread class: a named thread running the virtual Entry.
#pragma once

#include <atomic>
#include <string>
#include <thread>

class vdThread
{
public:
    explicit vdThread(const std::string &tag);
    // Never joins: the derived class whose Entry runs joins in its destructor.
    virtual ~vdThread();

    vdThread(const vdThread &) = delete;
    vdThread &operator=(const vdThread &) = delete;

    // Starts a thread running Entry; throws vdException when already started.
    virtual void Create();
    virtual void *Entry() = 0;
    // Asks Entry to return by setting the terminate flag.
    virtual void Terminate() { terminate = true; }

    // Waits for Entry to return; a no-op when never started or already joined.
    void Join();
    bool ShouldTerminate() const { return terminate.load(); }

    std::string tag;
    std::atomic<bool> terminate{false};

private:
    void Run();
    std::thread thread;
};
