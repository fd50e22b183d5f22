// The Tarn plug-in's log: every line goes to the host's logger, given once by
// KPLInitializeLogger. Located lines ("%s(%i) :...") carry the source unit that wrote them and a
// line number; plain lines carry only their text. Nothing is written before a logger is given.
#pragma once
#include <plugin-api/kpl.h>

namespace tarn {

void setLogger(LoggerCallback logger);
LoggerCallback logger();

}  // namespace tarn

#define TARN_LOG_AT(unit, format, ...)                                                      \
    do {                                                                                    \
        if (LoggerCallback tarnLog_ = ::tarn::logger())                                     \
            tarnLog_(format, unit, __LINE__ __VA_OPT__(, ) __VA_ARGS__);                    \
    } while (0)
#define TARN_PLAIN(format, ...)                                                             \
    do {                                                                                    \
        if (LoggerCallback tarnLog_ = ::tarn::logger()) tarnLog_(format __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
