// The KRD50N unit: an external three-port hub with a Tarn reader fixed behind each port, the
// port telling which reader it is. With RECOVERKRD50N a scan takes each such reader's product
// type from its port, and when it did not list all three, looks behind the hub for readers that
// are on the bus but broken, forces each into upgrade mode through the helper driver's service
// switch and lists it as a "Tarn DFU Device". Log lines carry the source unit KRD50N.
#pragma once
#include <cstdint>

#include <plugin-api/kpl.h>
#include <winsim/cfgmgr32.h>
#include <winsim/setupapi.h>

namespace tarn {

inline constexpr uint8_t kNoTypeFromSystem = 255;

// The product type of the reader behind port 1, 2 or 3 of a KRD50N hub; 255 for any other.
uint8_t Krd50nPortType(DWORD port);
// The product type of the reader at `devInst` (an element of `set`) from its port when its parent
// is a KRD50N hub, else 255.
uint8_t TypeFromSystem(DEVINST devInst, HDEVINFO set, SP_DEVINFO_DATA* element);
// Whether the present hub at `devInst` is a KRD50N hub: its description, identifiers, three ports,
// all of them with a device.
int32_t IsKrd50nHub(DEVINST devInst);
// The first KRD50N hub among the present hubs: its interface path (kPathSize) and node.
bool FindKrd50nHub(char* path, DEVINST* devInst);
// The node of the hub's child at `port`, 0 when none.
DEVINST GetChildAtPort(DEVINST hub, DWORD port);
// Walks the KRD50N hub's ports and lists the broken readers behind them in upgrade mode.
void RecoverKrd50n(DeviceInfoList* list);
void RecoverFaultyDevice(DeviceInfoList* list, DEVINST devInst, DWORD port);

}  // namespace tarn
