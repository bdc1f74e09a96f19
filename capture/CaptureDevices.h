#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

// The capture devices the welcome page offers, and the device behind "Auto".
//
// A capture device here is the interface name that libpcap and libnids open
// ("eth0", "wlan0", ...). Offered are the devices of pcap_findalldevs, in the
// library's order, without loopback and without pseudo-devices: a device with
// no entry under /sys/class/net ("any", "nflog", "usbmon1", ...) is no real
// interface. "Auto" is the first interface in /proc/net/route order that has a
// default route through a gateway.
//
// Not thread-safe; used on the GUI thread.
class CaptureDevices {
public:
    // One device as libpcap reports it.
    struct PcapDevice {
        QString name;
        bool loopback = false;
    };

    // One entry of the welcome page's combo box.
    struct Choice {
        QString text;    // what the user reads: the interface name
        QString device;  // what the capture thread opens
    };

    // Lists libpcap's devices; nullopt when the library reports a failure.
    using Enumerator = std::function<std::optional<QList<PcapDevice>>()>;

    // The two system files are read through the given paths, so that tests can
    // point them at files of their own; the enumerator is libpcap's by default.
    explicit CaptureDevices(QString sysClassNetPath = QStringLiteral("/sys/class/net"),
                            QString routePath = QStringLiteral("/proc/net/route"),
                            Enumerator enumerator = pcapDevices);

    // The devices to offer, in libpcap's order; nullopt when libpcap cannot
    // list its devices at all.
    std::optional<QList<Choice>> choices() const;

    // The device of the first interface with a default route through a
    // non-zero gateway; empty when there is none or the route file cannot be
    // read.
    QString defaultRouteDevice() const;

    // pcap_findalldevs, copied into plain values.
    static std::optional<QList<PcapDevice>> pcapDevices();

    // Whether the calling thread may open a capture: CAP_NET_RAW in its
    // effective set (root has it, and so has an executable given the capture
    // capabilities). A thread started from this one inherits the answer.
    // True when the kernel does not say.
    static bool hasCaptureRights();

private:
    QString sysClassNetPath_;
    QString routePath_;
    Enumerator enumerator_;
};
