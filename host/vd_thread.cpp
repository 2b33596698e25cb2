#include <exception>

#include "vd_common.h"
#include "vd_thread.h"

vdThread::vdThread(const std::string &tag) : tag(tag) {}

vdThread::~vdThread()
{
    // The derived class must have joined; a thread left running would use a
    // destroyed object, but terminating the whole host would be worse.
    if (thread.joinable()) {
        vd_printf("%s: thread destroyed while running; detached.\n", tag.c_str());
        thread.detach();
    }
}

void vdThread::Create()
{
    if (thread.joinable())
        throw vdException("%s: thread already created", tag.c_str());
    thread = std::thread(&vdThread::Run, this);
}

void vdThread::Run()
{
    try {
        Entry();
    } catch (const std::exception &e) {
        vd_printf("%s: thread exception: %s\n", tag.c_str(), e.what());
    } catch (...) {
        vd_printf("%s: thread exception: unknown\n", tag.c_str());
    }
}

void vdThread::Join()
{
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
}
