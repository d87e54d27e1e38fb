// Collects the program's log lines for as long as it lives.
#pragma once

#include "host/log.h"

#include <string>

struct log_capture {
    log_capture()
    {
        text().clear();
        log_set_sink(append);
    }
    ~log_capture()
    {
        log_set_sink(nullptr);
    }
    static std::string& text()
    {
        static std::string captured;
        return captured;
    }
    static void append(const char* line, std::int32_t length)
    {
        text().append(line, static_cast<std::size_t>(length));
    }
};
