// Loading and saving an intel cache's file (layout in cache_record.h). The
// file is untrusted: every length is checked against the bytes left and the
// record bound before anything is allocated, and a damaged record is
// counted and skipped.
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "common/file_reader.h"
#include "common/thread_toolkit.h"
#include "indicators/cache/cache_record.h"
#include "indicators/cache/intel_cache.h"
#include "vd_temp.h"

namespace vppCache {
namespace {

// A problem that ends a load; the records read before it stay.
class LoadError : public std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// The plug-in's stop came during a load: nothing of it may be kept.
class LoadCutShort : public std::runtime_error
{
public:
    LoadCutShort() : std::runtime_error("cut short by the stop") {}
};

// One load of one file into a store, record by record.
class FileLoader
{
public:
    // Counts the records it skips into invalid, which outlives a load that
    // ends early.
    FileLoader(const std::string &name, const std::string &path, FlowKeys flow_keys, size_t &invalid)
        : name(name), path(path), flow_keys(flow_keys), invalid(invalid), file(path)
    {
    }

    // Whether the file was opened and made under the same flow keys; logs
    // why not.
    bool Open()
    {
        if (file.Status() == vppFile::ReadStatus::missing) {
            vd_dprintf("%s: No flow intel cache to load: %s\n", name.c_str(), path.c_str());
            return false;
        }
        if (file.Status() != vppFile::ReadStatus::ok) {
            vd_printf("%s: Error loading flow intel cache: %s: %s\n", name.c_str(), path.c_str(),
                      file.Error().c_str());
            return false;
        }
        uint32_t file_keys = 0;
        if (file.Size() < file_header_size || !file.Read(&file_keys, sizeof(file_keys)))
            throw LoadError("truncated header");
        if (file_keys != flow_keys.value()) {
            vd_dprintf("%s: %s: cache flow key changed detected, load aborted.\n", name.c_str(), path.c_str());
            return false;
        }
        left = file.Size() - file_header_size;
        return true;
    }

    // Reads every record into store; throws LoadError at damage that ends
    // the load, LoadCutShort at a stop (a large file must not hold it up).
    void ReadRecords(Store &store)
    {
        const vppThread::ReadStop stop;
        while (left > 0) {
            if (stop.Requested())
                throw LoadCutShort();
            ReadRecord(store);
        }
    }

private:
    void ReadRecord(Store &store)
    {
        std::string key(record_key_size, '\0');
        uint64_t length = 0;
        if (left < record_head_size || !file.Read(key.data(), key.size()) || !file.Read(&length, sizeof(length)))
            throw LoadError("truncated record");
        left -= record_head_size;
        if (length > left)
            throw LoadError("record length " + std::to_string(length) + " exceeds the " + std::to_string(left) +
                            " byte(s) left");
        if (length == 0)
            return;
        if (length > max_record_length) {
            Skip(length);
            Invalid("record length " + std::to_string(length) + " exceeds the " + std::to_string(max_record_length) +
                    " byte limit");
            return;
        }
        vd_dprintf("%s: cached intel record length: %lu\n", name.c_str(), static_cast<unsigned long>(length));
        text.resize(length);
        if (!file.Read(text.data(), text.size()))
            throw LoadError("truncated record");
        left -= length;
        vd_dprintf("%s: cached intel record:\n\"%s\"\n", name.c_str(), text.c_str());
        Keep(store, key);
    }

    void Keep(Store &store, const std::string &key)
    {
        vppIntel::Entry entry;
        try {
            entry = ParseRecord(key, text, name);
        } catch (const std::exception &e) {
            Invalid(e.what());
            return;
        }
        store.CacheInsert(key, entry, false);
    }

    void Skip(uint64_t length)
    {
        if (!file.Skip(length))
            throw LoadError("truncated record");
        left -= length;
    }

    void Invalid(const std::string &why)
    {
        vd_dprintf("%s: %s: invalid cache record: %s\n", name.c_str(), path.c_str(), why.c_str());
        invalid++;
    }

    const std::string &name;
    const std::string &path;
    const FlowKeys flow_keys;
    size_t &invalid;
    vppFile::SequentialReader file;
    uint64_t left = 0;  // bytes of the file not yet read
    std::string text;   // the record being read, reused
};

// One save of a store into its file, through a temporary file renamed over
// it, so that a failed save leaves the old file whole.
class FileSaver
{
public:
    FileSaver(const std::string &name, const std::string &path) : name(name), path(path), file(path) {}

    bool Open()
    {
        errno = 0;
        if (file.Open() >= 0)
            return true;
        Error(strerror(errno));
        return false;
    }

    void WriteHeader(FlowKeys flow_keys)
    {
        errno = 0;
        const uint32_t bits = flow_keys.value();
        Write(&bits, sizeof(bits));
    }

    // Writes one record unless its text is over the bound a load accepts.
    bool WriteRecord(const std::string &key, const vppIntel::Entry &entry)
    {
        const std::string text = RenderRecord(entry);
        if (key.size() != record_key_size || text.size() > max_record_length) {
            oversized++;
            return false;
        }
        const uint64_t length = text.size();
        Write(key.data(), key.size());
        Write(&length, sizeof(length));
        Write(text.data(), text.size());
        return true;
    }

    bool Failed() { return !file.Stream(); }

    // Flushes and puts the file in place; logs and returns false on failure.
    bool Finish()
    {
        if (oversized != 0)
            vd_printf("%s: Error saving flow intel cache: %s: %zu record(s) over %zu bytes left out\n",
                      name.c_str(), path.c_str(), oversized, max_record_length);
        file.Stream().flush();
        if (Failed()) {
            Error(errno != 0 ? strerror(errno) : "write error");
            return false;
        }
        errno = 0;
        if (!file.Commit()) {
            Error(errno != 0 ? strerror(errno) : "cannot replace the file");
            return false;
        }
        return true;
    }

    void Error(const char *why)
    {
        vd_printf("%s: Error saving flow intel cache: %s: %s\n", name.c_str(), path.c_str(), why);
    }

private:
    void Write(const void *data, size_t length)
    {
        file.Stream().write(static_cast<const char *>(data), static_cast<std::streamsize>(length));
    }

    const std::string &name;
    const std::string &path;
    vdTemp::File file;
    size_t oversized = 0;
};

}  // namespace

size_t Store::Load()
{
    if (filename.empty())
        return 0;
    Invalidate();
    bool read = true;
    size_t invalid = 0;
    vppThread::Guard(
        [&] {
            FileLoader loader(name, filename, flow_keys, invalid);
            read = loader.Open();
            try {
                if (read)
                    loader.ReadRecords(*this);
            } catch (const LoadCutShort &) {
                // A part of the file must not replace it at the save.
                Invalidate();
                read = false;
                load_cut_short = true;
                vd_printf("%s: Loading flow intel cache cut short by the stop: %s; the file is kept as it is\n",
                          name.c_str(), filename.c_str());
            }
        },
        [&](const char *what) {
            vd_printf("%s: Error loading flow intel cache: %s: %s\n", name.c_str(), filename.c_str(), what);
        });
    if (!read)
        return 0;
    if (invalid != 0)
        vd_printf("%s: Error loading flow intel cache: %s: %zu invalid record(s) skipped\n", name.c_str(),
                  filename.c_str(), invalid);
    const size_t loaded = CacheSize();
    vd_dprintf("%s: Loaded %lu cache entries from: %s\n", name.c_str(), static_cast<unsigned long>(loaded),
               filename.c_str());
    return loaded;
}

size_t Store::Save()
{
    if (filename.empty() || load_cut_short)
        return 0;
    size_t saved = 0;
    vppThread::Guard(
        [&] {
            FileSaver saver(name, filename);
            if (!saver.Open())
                return;
            std::lock_guard<std::mutex> guard(lock);
            saver.WriteHeader(flow_keys);
            size_t written = 0;
            // Least recently used first: a load inserts in file order, so
            // the cache comes back in the same order of use.
            for (auto key = recency.rbegin(); key != recency.rend() && !saver.Failed(); ++key)
                written += saver.WriteRecord(*key, entries.at(*key).value) ? 1 : 0;
            if (!saver.Finish())
                return;
            saved = written;
            vd_dprintf("%s: Saved %lu cache entries to: %s\n", name.c_str(), static_cast<unsigned long>(saved),
                       filename.c_str());
        },
        [&](const char *what) {
            saved = 0;
            vd_printf("%s: Error saving flow intel cache: %s: %s\n", name.c_str(), filename.c_str(), what);
        });
    return saved;
}

}  // namespace vppCache
