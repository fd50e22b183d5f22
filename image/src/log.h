// Located log lines ("%s(%i) :...") through the caller's logger, which may be null.
#pragma once
#include <plugin-api/kpl.h>

#define IMAGE_LOG(logger, unit, format, ...)                                   \
    do {                                                                       \
        if (logger) (logger)(format, unit, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
