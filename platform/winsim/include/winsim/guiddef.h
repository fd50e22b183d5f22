// GUID definitions shared by the device headers: DEFINE_GUID and IsEqualGUID.
#pragma once
#include <string.h>

#include "wintypes.h"

// Each translation unit gets its own constant copy, as with INITGUID on Windows; no import
// library holds them.
#ifndef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#endif

#ifndef IsEqualGUID
#ifdef __cplusplus
inline int IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
#else
#define IsEqualGUID(a, b) (!memcmp((a), (b), sizeof(GUID)))
#endif
#endif
