// The hardware of a lab: the Plug and Play device tree that winsim's SetupAPI, configuration
// manager, CreateFile on device paths and DeviceIoControl work on.
//
// Design
// ------
// * Physical devices (lab::PhysicalDevice) are what lab.json lists: a reader, a CD-ROM, a disk.
//   Each keeps its persistent memories and faults and has a stable id that survives every
//   re-enumeration; the system never sees that id.
// * Device nodes are what Windows shows: an instance ID ("SCSI\Disk&Ven_...\4&2ba9d1a&0&020"),
//   a DEVINST handle, parent/child/sibling links, registry properties (SPDRP_*), device
//   interfaces with symbolic links, status and problem, present or not. A node never dies while
//   the process runs (unless DIF_REMOVE'd): a device that leaves makes its node non-present, and
//   a device that comes back with the same instance ID makes the same node present again, with
//   the same DEVINST, as Windows does. Coming back with other identifiers (a reader in upgrade
//   mode) is a different instance ID and so a different node.
// * Drivers are bound by service name: the node's SPDRP_SERVICE picks a driver when the node
//   starts. A node's stack is a chain of WDM device objects: the PDO of its bus driver, then
//   the device that the function driver of its service and each upper filter
//   (SPDRP_UPPERFILTERS) attach in their AddDevice routine. The lab's own drivers are C++
//   models behind device objects of lab driver objects; a kernel-mode driver written against
//   winsim/wdm.h joins the same stacks through its own driver object, and both receive the
//   same IRPs. A service registered in the lab's registry with a kernel driver's image that is
//   on the system drive runs on that image (loaded when a device first needs it), also where
//   the lab has a model of its own for the service: an installed driver package (TARNDFU.SYS)
//   takes the place of the model, which serves where nothing was installed. Every request
//   (create, device control, cleanup, close, start, remove) enters at the top as an IRP; a
//   service without a driver (or whose image does not load) leaves the node with
//   CM_PROB_FAILED_INSTALL, an AddDevice failure (or a driver without that routine, a legacy
//   one) with CM_PROB_FAILED_ADD, a failed start with
//   CM_PROB_FAILED_START. Changing the service and restarting the node (DICS_PROPCHANGE, or
//   DICS_STOP + DICS_START) brings it up with the new driver.
// * Bus drivers report children (enumerate()); the tree compares the report with the present
//   children: new ones arrive, missing ones leave. Re-enumeration of any node (after a physical
//   device is plugged, unplugged, attached or detached in lab.json) uses the same path, so a
//   hub with ports, a port power cycle or a reader detaching into upgrade mode are further bus
//   drivers and physical-device changes, not changes to the tree. Delays on the lab clock are
//   the bus driver's business (it reports the child only once its delay has passed and asks for
//   re-enumeration with schedule()).
// * Arrivals and removals of interfaces are events to subscribers (RegisterDeviceNotification
//   builds on them); they are delivered after the tree lock is released.
// * lab.json is the shared state between processes: the hardware re-reads it when another
//   process changed it (a fault set by "zelfin-lab fault", a device attached), and writes back
//   what changes here (fault counts used up, a device unplugged by a fault). Every device it
//   lists has been seen by the PC: one unplugged at start-up is an absent node from the start.
//   What the class installer does (disable, remove, a changed service) lasts for the process.
//
// Locking: one recursive tree lock for nodes, interfaces and drive letters; requests run outside
// it (a stalled command must not stop enumeration). Plug and Play IRPs are sent under the tree
// lock and must complete on the thread that sent them (no lab driver pends them); drivers never
// send device commands from start(), stop() or enumerate().
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <winsim/wdm.h>

namespace lab {

class Lab;
class Hardware;
class PhysicalDevice;
struct DevNode;

using DevInst = uint32_t;

// A registry property as SetupAPI returns it: REG_SZ and REG_MULTI_SZ text in UTF-8 with its
// terminators, REG_DWORD as four little-endian bytes.
struct PropertyValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    static PropertyValue text(const std::string& s);
    static PropertyValue multiText(const std::vector<std::string>& items);
    static PropertyValue dword(uint32_t v);
    std::string asText() const;  // the first string of REG_SZ / REG_MULTI_SZ
};

// One open handle on a device: the file object of a CreateFile, on a device node's stack or on a
// kernel-mode driver's named device ("\\.\DMHLPDRV").
class DeviceFile {
public:
    DeviceFile(Hardware& hw, std::shared_ptr<DevNode> node, PDEVICE_OBJECT device, uint32_t access);
    // Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE down the stack it was opened on, if that is still up.
    ~DeviceFile();
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    DevInst devInst() const;  // 0 for a named device outside the tree
    uint32_t access() const { return access_; }
    bool canRead() const;
    bool canWrite() const;
    FILE_OBJECT* fileObject() { return &fileObject_; }

    Hardware& hardware() { return hw_; }
    const std::shared_ptr<DevNode>& node() const { return node_; }

private:
    friend class Hardware;
    Hardware& hw_;
    std::shared_ptr<DevNode> node_;
    PDEVICE_OBJECT device_ = nullptr;  // a named device's own object (referenced), null on a node
    uint32_t access_;
    uint64_t generation_ = 0;  // the start of the node this handle was opened on
    FILE_OBJECT fileObject_{};
};

// A device I/O control request as a lab driver sees it: a view of the IRP's current stack
// location. For METHOD_BUFFERED, input and output are the same system buffer: read the input
// before writing the output.
struct IoRequest {
    PIRP irp = nullptr;
    PFILE_OBJECT file = nullptr;
    uint32_t code = 0;
    const uint8_t* input = nullptr;
    uint32_t inputLength = 0;
    uint8_t* output = nullptr;
    uint32_t outputLength = 0;
    ULONG_PTR information = 0;  // bytes of output produced

    static IoRequest of(PIRP irp);
};

class Driver;

// Where a lab driver sits: the hardware, its node and its own device object in the node's
// stack, with the device below it.
struct DriverContext {
    Hardware& hw;
    DevInst node;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;  // null for a physical device object (the bottom)

    // Hands the IRP as it is to the device below. At the bottom the IRP is completed: create,
    // close, cleanup and Plug and Play succeed, anything else is STATUS_INVALID_DEVICE_REQUEST.
    NTSTATUS passDown(PIRP irp) const;
    // Sends the IRP down and waits until the layers below completed it; the IRP is then this
    // driver's again (to complete or to change).
    NTSTATUS passDownAndWait(PIRP irp) const;
    // Completes the IRP here.
    static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
};

// The things a bus driver reports about a child it finds.
struct ChildDescription {
    std::string instanceId;
    std::string physicalId;                        // the lab device it belongs to, "" for none
    std::map<uint32_t, PropertyValue> properties;  // SPDRP_* -> value
    std::shared_ptr<Driver> pdo;                   // what the bus driver does for the child itself
    // Which arrival of the physical device this is: a device that left and came back between
    // two looks of its bus is a new arrival (a new device stack) although nothing else changed.
    uint64_t arrival = 0;
    // Its install properties (service, class, description) replace those the PC remembers for
    // the instance ID; otherwise a remembered driver is kept, as Windows keeps it.
    bool rebind = false;
};

// A driver model of the lab bound to one device object of a node's stack (a PDO behaviour, a
// function driver or a filter). It receives the same IRPs as a kernel-mode driver in the same
// stack; dispatch() turns the common ones into the calls below.
class Driver {
public:
    virtual ~Driver() = default;
    // A bus driver reports children; the topmost bus driver of a stack is asked for them.
    virtual bool isBus() const { return false; }
    // IRP_MN_START_DEVICE, once the layers below have started.
    virtual NTSTATUS start(DriverContext&) { return STATUS_SUCCESS; }
    // IRP_MN_REMOVE_DEVICE, before the layers below are removed.
    virtual void stop(DriverContext&) {}
    // A bus driver's children as it sees them now.
    virtual std::vector<ChildDescription> enumerate(DriverContext&) { return {}; }
    // IRP_MJ_DEVICE_CONTROL: the status to complete the request with, or nullopt to pass it
    // down unchanged.
    virtual std::optional<NTSTATUS> control(DriverContext&, IoRequest&) { return std::nullopt; }
    // IRP_MJ_CLEANUP: the handle of `file` is closing; the IRP goes on down afterwards.
    virtual void cleanup(DriverContext&, PFILE_OBJECT) {}
    // Every IRP. The default routes Plug and Play to start() and stop(), device control to
    // control(), cleanup to cleanup(), and passes the rest down.
    virtual NTSTATUS dispatch(DriverContext& ctx, PIRP irp);
    // The driver's state for "zelfin-lab show" and tests (drive letter, device number, ...).
    virtual void describe(nlohmann::json&) const {}

private:
    bool started_ = false;  // start() succeeded and stop() has not run yet
};

using DriverFactory = std::function<std::shared_ptr<Driver>()>;

struct PnpEvent {
    enum Kind { InterfaceArrival, InterfaceRemoval } kind;
    GUID interfaceClass;
    std::string symbolicLink;
    DevInst devInst;
};

// Drive letters the hardware adds to the simulated PC.
struct MountedDrive {
    char letter;
    uint32_t type;  // DRIVE_FIXED, DRIVE_REMOVABLE, DRIVE_CDROM
    DevInst node;
};

struct NodeInfo {
    DevInst devInst = 0;
    std::string instanceId;
    GUID classGuid{};  // GUID_NULL without a class
    bool present = false;
};

struct InterfaceInfo {
    DevInst devInst = 0;
    GUID interfaceClass{};
    std::string symbolicLink;
    bool active = false;
};

enum class StateChange { Enable, Disable, Restart, Start, Stop };

class Hardware {
public:
    explicit Hardware(Lab& lab);
    ~Hardware();
    Hardware(const Hardware&) = delete;
    Hardware& operator=(const Hardware&) = delete;

    Lab& lab() { return lab_; }

    // ---- the tree, for SetupAPI and the configuration manager -------------------------------
    // Every node ever seen in this process, in tree order (parents before children).
    std::vector<NodeInfo> nodes();
    std::optional<NodeInfo> node(DevInst devInst);
    std::optional<NodeInfo> nodeByInstanceId(const std::string& instanceId);
    // Present relatives; 0 when there is none. Fails (nullopt) for an unknown or absent node.
    std::optional<DevInst> parentOf(DevInst devInst);
    std::optional<DevInst> firstChildOf(DevInst devInst);
    std::optional<DevInst> nextSiblingOf(DevInst devInst);
    // Win32 error: 0, ERROR_INVALID_DATA (no such property), ERROR_NO_SUCH_DEVINST.
    uint32_t property(DevInst devInst, uint32_t spdrp, PropertyValue* out);
    // Win32 error: 0, ERROR_INVALID_REG_PROPERTY for one that cannot be written.
    uint32_t setProperty(DevInst devInst, uint32_t spdrp, const PropertyValue& value);
    // DN_* and CM_PROB_* of a present node; false for an absent one.
    bool status(DevInst devInst, uint32_t* statusFlags, uint32_t* problem);
    std::vector<InterfaceInfo> interfaces(DevInst devInst);
    std::optional<InterfaceInfo> interfaceByPath(const std::string& symbolicLink);
    // The class installer's state changes. A node with open handles (itself or below) cannot be
    // stopped now: the change is left for the next start of the PC and *needsReboot is set.
    uint32_t changeState(DevInst devInst, StateChange change, bool* needsReboot);
    uint32_t remove(DevInst devInst, bool* needsReboot);

    // ---- device I/O --------------------------------------------------------------------------
    // Opens "\\.\X:", "\\.\NAME" or an interface path: IRP_MJ_CREATE to the top of the stack.
    // Null with the status of the failure.
    std::shared_ptr<DeviceFile> open(const std::string& path, uint32_t access, NTSTATUS* status);
    // IRP_MJ_DEVICE_CONTROL (or the internal one) to the top of the handle's stack, waited for
    // until it completes; *information is what the driver produced (copied back into `output`
    // for METHOD_BUFFERED codes).
    NTSTATUS deviceControl(DeviceFile& file, uint32_t code, const void* input, uint32_t inputLength, void* output,
                           uint32_t outputLength, ULONG_PTR* information, bool internal = false);
    // Hands an IRP on to the top of another node's stack, as a volume does to its disk.
    NTSTATUS forward(DevInst node, PIRP irp);
    // The device object at the top of a started node's stack, referenced (release with
    // winsim's kernel::release); null when the node is not started.
    PDEVICE_OBJECT referenceTop(DevInst node);
    std::vector<MountedDrive> drives();
    // What the drivers of a node say about their state.
    nlohmann::json describe(DevInst devInst);

    // ---- for drivers (these never re-read lab.json: they run inside tree operations) ---------
    // A lab driver model for a service name.
    void registerService(const std::string& name, DriverFactory factory);
    // A kernel-mode driver for a service name: nodes whose service (or upper filter) it is get a
    // device from its AddDevice routine. Null: the service goes back to the lab's own model of
    // it, or has no driver.
    void registerDriverObject(const std::string& name, PDRIVER_OBJECT driver);
    // Loads a kernel-mode driver image (a shared object exporting DriverEntry) for a service,
    // runs its DriverEntry with the service's registry path and registers its driver object.
    // STATUS_OBJECT_NAME_NOT_FOUND for a missing file, STATUS_INVALID_IMAGE_FORMAT for one that
    // does not load, STATUS_PROCEDURE_NOT_FOUND without DriverEntry, STATUS_UNSUCCESSFUL when
    // DriverEntry fails, STATUS_OBJECT_NAME_COLLISION when the service has a driver loaded.
    NTSTATUS loadDriver(const std::string& service, const std::filesystem::path& image);
    // Runs the driver's DriverUnload and drops it; STATUS_INVALID_DEVICE_STATE while a started
    // node's stack still holds one of its devices, STATUS_INVALID_DEVICE_REQUEST for a driver
    // without an unload routine (it cannot be stopped).
    NTSTATUS unloadDriver(const std::string& service);
    // What runs for a service name in this process: a driver image loaded from a file, a driver
    // model of the lab in use by a started node, or nothing.
    enum class ServiceState { Stopped, Loaded, Builtin };
    ServiceState serviceState(const std::string& service);
    // The services whose drivers the lab itself provides (its models of outside drivers and of
    // the PC's own), sorted.
    std::vector<std::string> builtinServices();
    // Whether a loaded driver image can be stopped (it has an unload routine).
    bool canUnload(const std::string& service);
    // Loads the driver image a service's registry entry names (a kernel driver's ImagePath on
    // the system drive), as the service control manager does when asked to start it or when a
    // device needs it; the statuses of loadDriver (STATUS_OBJECT_NAME_NOT_FOUND also for a
    // service without such an entry).
    NTSTATUS loadRegisteredDriver(const std::string& service);
    // The top of the stack of the volume with this drive letter, referenced; null for none.
    PDEVICE_OBJECT referenceDrive(char letter);
    // A property of the node a lab PDO stands for, as IoGetDeviceProperty gives it (text in
    // UTF-16 with terminators, numbers as 32 bits); STATUS_INVALID_PARAMETER for a device
    // object that is no PDO, STATUS_OBJECT_NAME_NOT_FOUND for a property the node lacks.
    NTSTATUS pdoProperty(PDEVICE_OBJECT pdo, uint32_t property, std::vector<uint8_t>* out);
    // Queries the state of the node a PDO stands for again, soon, on the PnP manager's thread: a
    // node whose drivers report it failed or removed stops with a problem.
    void invalidateState(PDEVICE_OBJECT pdo);
    // Adds (or finds) an interface of the node and makes it active or not.
    std::string setInterface(DevInst node, const GUID& interfaceClass, bool active, const std::string& reference = "");
    void mount(char letter, uint32_t type, DevInst node);
    void unmount(DevInst node);
    // "\\.\NAME" names such as PhysicalDrive0 or a driver's control device.
    void addSymbolicLink(const std::string& name, DevInst node);
    void removeSymbolicLink(const std::string& name);
    std::shared_ptr<PhysicalDevice> physical(const std::string& id);
    std::vector<std::shared_ptr<PhysicalDevice>> physicalDevices();
    // The physical device behind a node, if any.
    std::string physicalIdOf(DevInst devInst);
    // Whether the node of this instance ID is present and started now.
    bool isStarted(const std::string& instanceId);
    // The present node of this instance ID, 0 for none.
    DevInst presentNode(const std::string& instanceId);
    std::string instanceIdOf(DevInst devInst);
    // Asks the node's bus driver for its children again.
    void reenumerate(DevInst devInst);
    // Runs `action` once `labMs` milliseconds of lab time have passed, on the hardware's own
    // thread (a bus driver's re-enumeration delay).
    void schedule(uint64_t labMs, std::function<void()> action);
    // Waits `labMs` milliseconds of lab time.
    void sleepLab(uint64_t labMs) const;
    // Stable small numbers (PhysicalDrive0, CdRom0, \Device\000000nn) per instance ID.
    uint32_t deviceNumber(const std::string& pool, const std::string& instanceId);
    DevInst root() const { return 1; }

    // ---- state shared with lab.json ----------------------------------------------------------
    // Picks up changes other processes made to lab.json (cheap when there are none).
    void refresh();
    // Saves a physical device's faults and plugged state into lab.json.
    void persist(const PhysicalDevice& device);
    // A physical device left or came back (by a fault, or by lab.json).
    void setPlugged(const std::string& id, bool plugged);

    // ---- notifications -----------------------------------------------------------------------
    using Listener = std::function<void(const PnpEvent&)>;
    int subscribe(Listener listener);
    void unsubscribe(int token);

private:
    friend class DeviceFile;
    struct Impl;
    Lab& lab_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lab
