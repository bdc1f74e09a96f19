#include "CaptureDevices.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <linux/capability.h>
#include <pcap.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

namespace {

struct AllDevicesDeleter {
    void operator()(pcap_if_t* devices) const { pcap_freealldevs(devices); }
};
using AllDevices = std::unique_ptr<pcap_if_t, AllDevicesDeleter>;

}  // namespace

CaptureDevices::CaptureDevices(QString sysClassNetPath, QString routePath, Enumerator enumerator)
    : sysClassNetPath_(std::move(sysClassNetPath)),
      routePath_(std::move(routePath)),
      enumerator_(std::move(enumerator))
{
}

bool CaptureDevices::hasCaptureRights()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, sets) != 0)
        return true;
    return (sets[CAP_TO_INDEX(CAP_NET_RAW)].effective & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

std::optional<QList<CaptureDevices::PcapDevice>> CaptureDevices::pcapDevices()
{
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* first = nullptr;
    if (pcap_findalldevs(&first, error) == -1)
        return std::nullopt;
    AllDevices owner(first);
    QList<PcapDevice> devices;
    for (const pcap_if_t* device = first; device; device = device->next) {
        if (!device->name)
            continue;
        devices.append({QString::fromLocal8Bit(device->name), (device->flags & PCAP_IF_LOOPBACK) != 0});
    }
    return devices;
}

std::optional<QList<CaptureDevices::Choice>> CaptureDevices::choices() const
{
    const std::optional<QList<PcapDevice>> devices = enumerator_();
    if (!devices)
        return std::nullopt;
    QList<Choice> result;
    for (const PcapDevice& device : *devices) {
        if (device.loopback)
            continue;
        // Pseudo-devices ("any", "nflog", "usbmon1", "dbus-system", ...) are
        // libpcap's own and have no kernel interface behind them. A name that
        // could walk out of the folder is no interface name either.
        if (device.name.isEmpty() || device.name == QLatin1String(".") || device.name == QLatin1String("..")
            || device.name.contains(QLatin1Char('/'))
            || !QFileInfo::exists(sysClassNetPath_ + QLatin1Char('/') + device.name))
            continue;
        result.append({device.name, device.name});
    }
    return result;
}

QString CaptureDevices::defaultRouteDevice() const
{
    // /proc/net/route: a header line, then one route a line, fields separated
    // by white space: interface, destination, gateway, flags, ... with the
    // addresses as 8 hex digits in host byte order (0 is 0 either way).
    QFile file(routePath_);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    bool header = true;
    while (!file.atEnd()) {
        const QString line = QString::fromLatin1(file.readLine());
        if (header) {
            header = false;
            continue;
        }
        const QStringList fields = line.split(whiteSpace, Qt::SkipEmptyParts);
        if (fields.size() < 3)
            continue;
        bool destinationOk = false;
        bool gatewayOk = false;
        const quint32 destination = fields[1].toUInt(&destinationOk, 16);
        const quint32 gateway = fields[2].toUInt(&gatewayOk, 16);
        if (destinationOk && gatewayOk && destination == 0 && gateway != 0)
            return fields[0];
    }
    return QString();
}
