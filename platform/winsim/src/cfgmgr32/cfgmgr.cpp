// The configuration manager: the device tree by DEVINST handles. Only present nodes are part of
// the live tree; a node that left answers CR_NO_SUCH_DEVNODE.
#include <cstring>

#include <winsim/cfgmgr32.h>
#include <winsim/setupapi.h>

#include "devices.h"

using namespace winsim;

namespace {

CONFIGRET related(PDEVINST out, DEVINST devInst, ULONG flags, std::optional<lab::DevInst> (lab::Hardware::*step)(lab::DevInst)) {
    if (!out) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    try {
        lab::Hardware& hw = hardware();
        if (!hw.node(devInst)) return CR_INVALID_DEVNODE;
        const auto next = (hw.*step)(devInst);
        if (!next || *next == 0) return CR_NO_SUCH_DEVNODE;
        *out = *next;
        return CR_SUCCESS;
    } catch (const std::exception&) {
        return CR_OUT_OF_MEMORY;
    }
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Get_Parent(PDEVINST out, DEVINST devInst, ULONG flags) {
    return related(out, devInst, flags, &lab::Hardware::parentOf);
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST out, DEVINST devInst, ULONG flags) {
    return related(out, devInst, flags, &lab::Hardware::firstChildOf);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST out, DEVINST devInst, ULONG flags) {
    return related(out, devInst, flags, &lab::Hardware::nextSiblingOf);
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) {
    if (!status || !problem) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    try {
        lab::Hardware& hw = hardware();
        if (!hw.node(devInst)) return CR_INVALID_DEVNODE;
        uint32_t s = 0, p = 0;
        if (!hw.status(devInst, &s, &p)) return CR_NO_SUCH_DEVINST;
        *status = s;
        *problem = p;
        return CR_SUCCESS;
    } catch (const std::exception&) {
        return CR_OUT_OF_MEMORY;
    }
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                                   PULONG length, ULONG flags) {
    if (!length || (!buffer && *length)) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    try {
        lab::Hardware& hw = hardware();
        if (!hw.node(devInst)) return CR_INVALID_DEVNODE;
        lab::PropertyValue value;
        const uint32_t error = hw.property(devInst, property - 1, &value);
        if (error == ERROR_NO_SUCH_DEVINST) return CR_NO_SUCH_DEVINST;
        if (error) return CR_NO_SUCH_VALUE;
        if (type) *type = value.type;
        const ULONG room = *length;
        *length = static_cast<ULONG>(value.data.size());
        if (room < value.data.size()) return CR_BUFFER_SMALL;
        std::memcpy(buffer, value.data.data(), value.data.size());
        return CR_SUCCESS;
    } catch (const std::exception&) {
        return CR_OUT_OF_MEMORY;
    }
}

}  // extern "C"
