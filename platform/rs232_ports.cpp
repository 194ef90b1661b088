// The port table: devices put in front by the program first, then the
// machine's serial ports in a stable order.
#include "rs232_ports.h"

#include <QSerialPortInfo>
#include <QStringList>
#include <QtGlobal>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rs232.h"

namespace {

std::map<int, std::string> g_front;  // number -> device

// "ttyS2" before "ttyS10": runs of digits compare by value.
bool NaturalLess(const std::string &a, const std::string &b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

bool InFront(const std::string &device) {
    return std::any_of(g_front.begin(), g_front.end(),
                       [&](const auto &entry) { return entry.second == device; });
}

std::vector<std::string> MachinePorts() {
    std::vector<std::string> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const std::string device = info.systemLocation().toStdString();
        if (!device.empty() && !InFront(device)) ports.push_back(device);
    }
    std::sort(ports.begin(), ports.end(), NaturalLess);
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

int LastFrontNumber() { return g_front.empty() ? 0 : g_front.rbegin()->first; }

#ifdef Q_OS_WIN
// Number n is COMn, unless the program put a device there.
std::vector<std::string> PortTable() {
    int highest = LastFrontNumber();
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        if (name.startsWith(QLatin1String("COM"))) highest = std::max(highest, name.mid(3).toInt());
    }
    highest = std::min(highest, rs232::kMaxPorts);
    std::vector<std::string> table;
    for (int n = 1; n <= highest; ++n) {
        const auto it = g_front.find(n);
        table.push_back(it != g_front.end() ? it->second : "COM" + std::to_string(n));
    }
    return table;
}
#else
// Front devices at their numbers; the machine's ports fill the other
// numbers in order. A number between front devices that no machine port
// fills names no device.
std::vector<std::string> PortTable() {
    const std::vector<std::string> machine = MachinePorts();
    const int lastFront = LastFrontNumber();
    std::vector<std::string> table;
    std::size_t next = 0;
    for (int n = 1; n <= rs232::kMaxPorts; ++n) {
        const auto it = g_front.find(n);
        if (it != g_front.end())
            table.push_back(it->second);
        else if (next < machine.size())
            table.push_back(machine[next++]);
        else if (n < lastFront)
            table.emplace_back();
        else
            break;
    }
    return table;
}
#endif

}  // namespace

namespace rs232 {

std::string DeviceForNumber(int n) {
    if (n < 1 || n > kMaxPorts) return {};
    const std::vector<std::string> table = PortTable();
    return static_cast<std::size_t>(n) <= table.size() ? table[n - 1] : std::string();
}

}  // namespace rs232

void SetComPortDevice(int number, const char *device) {
    if (number < 1 || number > rs232::kMaxPorts) return;
    if (device == nullptr || *device == '\0')
        g_front.erase(number);
    else
        g_front[number] = device;
}

void ClearComPortDevices() { g_front.clear(); }

int GetComPortCount() { return static_cast<int>(PortTable().size()); }

int GetComPortDevice(int number, char *device, std::size_t size) {
    if (device == nullptr || size == 0) return kComInvalidParameter;
    device[0] = '\0';
    const std::string name = rs232::DeviceForNumber(number);
    if (name.empty()) return kComInvalidPortNumber;
    const std::size_t n = std::min(name.size(), size - 1);
    std::memcpy(device, name.data(), n);
    device[n] = '\0';
    return 0;
}

int GetComPortDescription(int number, char *text, std::size_t size) {
    if (text == nullptr || size == 0) return kComInvalidParameter;
    text[0] = '\0';
    const std::string device = rs232::DeviceForNumber(number);
    if (device.empty()) return kComInvalidPortNumber;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation().toStdString() != device) continue;
        QStringList parts;
        if (!info.description().isEmpty()) parts << info.description();
        if (!info.manufacturer().isEmpty() && info.manufacturer() != info.description())
            parts << info.manufacturer();
        if (!info.serialNumber().isEmpty())
            parts << QStringLiteral("serial ") + info.serialNumber();
        const QByteArray said = parts.join(QStringLiteral(", ")).toUtf8();
        const std::size_t n = std::min(static_cast<std::size_t>(said.size()), size - 1);
        std::memcpy(text, said.constData(), n);
        text[n] = '\0';
        break;
    }
    return 0;
}
