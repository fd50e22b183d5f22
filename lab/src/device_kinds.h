// The kinds of device the lab is built with register here, each from the file of its models.
#pragma once

namespace lab {

// The root hub's ports.
constexpr int kRootHubPorts = 4;

// scsi-reader, quoll-unit, cdrom, removable, disk (scsi_models.cpp).
void registerScsiDeviceKinds();
// usb-hub, krd50n (usb_hubs.cpp).
void registerUsbHubKind();
// tarn-reader, plex-monitor, plex-module, quoll-reader (tarn_reader.cpp).
void registerTarnDeviceKinds();

}  // namespace lab
