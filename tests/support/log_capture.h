// Collects the program's log lines for as long as it lives.
#pragma once

#include "host/log.h"

#include <string>

struct log_capture {
    static inline std::string captured;
    log_capture()
    {
        captured.clear();
        log_set_sink([](const char* line, std::int32_t length) {
            captured.append(line, static_cast<std::size_t>(length));
        });
    }
    ~log_capture()
    {
        log_set_sink(nullptr);
    }
    std::string& text()
    {
        return captured;
    }
};
