#include "support/process_memory.h"

#include <fstream>
#include <string>

ProcessMemory ReadMemory()
{
    ProcessMemory memory;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            memory.rss_kib = std::stol(line.substr(6));
        else if (line.rfind("VmHWM:", 0) == 0)
            memory.hwm_kib = std::stol(line.substr(6));
    }
    return memory;
}
