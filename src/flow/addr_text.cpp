// The cached text form of host addresses. Defines vdAddr::GetString, which
// the host's vd_addr.h declares and leaves to the plug-in.
#include <mutex>

#include "vd_addr.h"

const std::string &vdAddr::GetString(vdFlags<MakeFlags> flags) const
{
    // One lock for every address: the cache is tiny and rebuilt rarely.
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);

    if (cached_flags == flags.value() && !cached_string.empty())
        return cached_string;

    // Built aside so that a failure leaves the previous text and flags intact.
    std::string text;
    MakeString(*this, text, flags);

    // An unchanged text is not written again: another thread may be reading
    // the same (for instance empty) text it was handed outside the lock.
    if (text != cached_string)
        cached_string.swap(text);
    cached_flags = flags.value();
    return cached_string;
}
