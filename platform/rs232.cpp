// The RS-232 port operations on Qt SerialPort. Each open port keeps its own
// input queue, filled from the device whenever Qt reports bytes and whenever a
// caller asks for the queue length or reads. The receive notification never
// runs inside a port operation: taking bytes in only posts a check, and the
// check runs the callback while the program processes events.
#include "rs232.h"

#include <poll.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPort>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "rs232_ports.h"

namespace {

using Clock = std::chrono::steady_clock;
using rs232::kMaxPorts;

constexpr int kDefaultQueueSize = 4096;
constexpr int kMaxQueueSize = 1 << 20;
constexpr double kDefaultTimeout = 1.5;  // seconds, until SetComTime
constexpr int kWriteWaitMs = 50;         // how long a write may wait for the device
constexpr int kReadSliceMs = 20;         // a blocking read checks the line this often
constexpr int kMaxBaudRate = 4000000;

struct Port {
    QPointer<QSerialPort> serial;
    QByteArray input;
    int inputLimit = kDefaultQueueSize;
    int outputLimit = kDefaultQueueSize;
    double timeout = kDefaultTimeout;
    // receive notification
    int mask = 0;
    int notifyCount = 1;
    int eventChar = -1;
    ComCallbackPtr callback = nullptr;
    void *callbackData = nullptr;
    bool armed = true;         // the notify count may fire once it is reached
    int pending = 0;           // character, flag and empty-output events not yet delivered
    bool checkPosted = false;  // a notification check waits in the event queue
    bool inCallback = false;
    bool lost = false;  // the device went away while open
    unsigned generation = 0;
};

Port g_ports[kMaxPorts + 1];

// Owner of the ports and target of the posted checks; it lives as long as the
// application object.
QObject *context() {
    static QPointer<QObject> ctx;
    if (!ctx) ctx = new QObject(QCoreApplication::instance());
    return ctx;
}

bool validNumber(int port) { return port >= 1 && port <= kMaxPorts; }

// The open port of that number, or nullptr with the code to return.
Port *openPort(int port, int *code) {
    if (!validNumber(port)) {
        *code = kComInvalidPortNumber;
        return nullptr;
    }
    Port &p = g_ports[port];
    if (!p.serial) {
        *code = kComPortNotOpen;
        return nullptr;
    }
    return &p;
}

// ------------------------------------------------------------ notification

void runCheck(int port, unsigned generation);

void postCheck(int port) {
    Port &p = g_ports[port];
    if (!p.callback || p.mask == 0 || p.checkPosted) return;
    p.checkPosted = true;
    const unsigned generation = p.generation;
    QMetaObject::invokeMethod(
        context(), [port, generation] { runCheck(port, generation); }, Qt::QueuedConnection);
}

void rearm(Port &p) {
    if (p.input.size() < p.notifyCount) p.armed = true;
}

int dueEvents(Port &p) {
    int bits = p.pending & (p.mask | COM_EV_LINE_LOST);
    p.pending = 0;
    if (p.mask & COM_EV_RECEIVE) {
        if (p.input.size() < p.notifyCount) {
            p.armed = true;
        } else if (p.armed) {
            bits |= COM_EV_RECEIVE;
            p.armed = false;
        }
    }
    return bits;
}

void runCheck(int port, unsigned generation) {
    Port &p = g_ports[port];
    if (p.generation != generation) return;  // closed or reopened since
    p.checkPosted = false;
    if (!p.serial || !p.callback || p.mask == 0 || p.inCallback) return;
    const int bits = dueEvents(p);
    if (bits == 0) return;
    const ComCallbackPtr callback = p.callback;
    void *data = p.callbackData;
    p.inCallback = true;
    callback(port, bits, data);
    if (p.generation != generation) return;  // the callback closed or reopened the port
    p.inCallback = false;
    rearm(p);
    if (p.pending != 0 || (p.armed && p.input.size() >= p.notifyCount)) postCheck(port);
}

// ------------------------------------------------------------ taking bytes in

// Moves what Qt holds into the port's queue; bytes beyond its size are lost.
void takeIn(int port) {
    Port &p = g_ports[port];
    if (!p.serial) return;
    const QByteArray bytes = p.serial->readAll();
    if (bytes.isEmpty()) return;
    const qsizetype room = p.inputLimit - p.input.size();
    if (room > 0) p.input.append(bytes.constData(), std::min(room, bytes.size()));
    p.pending |= COM_EV_RXCHAR;
    if (p.eventChar >= 0 && bytes.contains(static_cast<char>(p.eventChar)))
        p.pending |= COM_EV_RXFLAG;
    postCheck(port);
}

// Asks the device for what has arrived, without waiting and without running
// any callback.
void pollDevice(int port) {
    Port &p = g_ports[port];
    if (!p.lost && p.serial->isOpen()) p.serial->waitForReadyRead(0);
    takeIn(port);
}

void onWritten(int port) {
    Port &p = g_ports[port];
    if (p.serial && p.serial->bytesToWrite() == 0) {
        p.pending |= COM_EV_TXEMPTY;
        postCheck(port);
    }
}

bool hungUp(QSerialPort &serial) {
    pollfd fd{static_cast<int>(serial.handle()), POLLIN, 0};
    if (fd.fd < 0 || ::poll(&fd, 1, 0) < 0) return true;
    return (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A device that reports a read or resource error has gone (adapter pulled,
// far end of a pseudo-terminal closed). The port stays known under its number
// so that every operation answers with a code until it is closed; the device
// itself is let go at the next event processing, not inside Qt's own signal.
void onError(int port, QSerialPort::SerialPortError error) {
    Port &p = g_ports[port];
    if (p.lost || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)) return;
    // Qt also reports a read error when the bytes it was told of have just
    // been flushed away; only a hung-up line is a lost one.
    if (error == QSerialPort::ReadError && !hungUp(*p.serial)) {
        p.serial->clearError();
        return;
    }
    p.lost = true;
    p.pending |= COM_EV_LINE_LOST;
    postCheck(port);
    const unsigned generation = p.generation;
    QMetaObject::invokeMethod(
        context(),
        [port, generation] {
            Port &q = g_ports[port];
            if (q.generation == generation && q.serial) q.serial->close();
        },
        Qt::QueuedConnection);
}

// ------------------------------------------------------------ opening

bool validSettings(long baudRate, int parity, int dataBits, int stopBits, int inputQueueSize,
                   int outputQueueSize) {
    return baudRate > 0 && baudRate <= kMaxBaudRate && parity >= 0 && parity <= 4 &&
           dataBits >= 5 && dataBits <= 8 && (stopBits == 1 || stopBits == 2) &&
           inputQueueSize <= kMaxQueueSize && outputQueueSize <= kMaxQueueSize;
}

QSerialPort::Parity toParity(int parity) {
    static const QSerialPort::Parity kParity[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                  QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                  QSerialPort::SpaceParity};
    return kParity[parity];
}

bool configure(QSerialPort &serial, long baudRate, int parity, int dataBits, int stopBits) {
    return serial.setBaudRate(static_cast<qint32>(baudRate)) &&
           serial.setDataBits(static_cast<QSerialPort::DataBits>(dataBits)) &&
           serial.setParity(toParity(parity)) &&
           serial.setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
           serial.setFlowControl(QSerialPort::NoFlowControl);
}

int openErrorCode(QSerialPort::SerialPortError error, const std::string &device) {
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return kComNoSerialPortFound;
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
            return kComCannotOpenPort;
        case QSerialPort::UnsupportedOperationError:
            return kComNotASerialPort;  // a file or device without line settings
        default:
            return QFileInfo(QString::fromStdString(device)).isDir() ? kComNotASerialPort
                                                                     : kComUnknownSystemError;
    }
}

void connectPort(int port, QSerialPort *serial) {
    QObject::connect(serial, &QSerialPort::readyRead, serial, [port] { takeIn(port); });
    QObject::connect(serial, &QSerialPort::bytesWritten, serial, [port] { onWritten(port); });
    QObject::connect(serial, &QSerialPort::errorOccurred, serial,
                     [port](QSerialPort::SerialPortError e) { onError(port, e); });
}

// Starts the port afresh; the generation tells posted checks of an earlier
// opening apart.
void resetPort(Port &p) {
    const unsigned generation = p.generation + 1;
    p = Port{};
    p.generation = generation;
}

// Hands what is queued for output to the device now, so that it leaves even
// when the caller does not process events.
void push(Port &p) {
    if (p.lost || !p.serial->isOpen()) return;
    p.serial->flush();
    if (p.serial->bytesToWrite() > 0) p.serial->waitForBytesWritten(kWriteWaitMs);
}

}  // namespace

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    if (!validNumber(port)) return kComInvalidPortNumber;
    if (!validSettings(baudRate, parity, dataBits, stopBits, inputQueueSize, outputQueueSize))
        return kComInvalidParameter;
    const std::string device =
        deviceName != nullptr && *deviceName != '\0' ? deviceName : rs232::deviceForNumber(port);
    if (device.empty()) return kComInvalidPortNumber;
    CloseCom(port);

    auto *serial = new QSerialPort(context());
    serial->setPortName(QString::fromStdString(device));
    if (!serial->open(QIODevice::ReadWrite)) {
        const int code = openErrorCode(serial->error(), device);
        delete serial;
        return code;
    }
    if (!configure(*serial, baudRate, parity, dataBits, stopBits)) {
        serial->close();
        delete serial;
        return kComNotASerialPort;
    }
    // Some USB adapters send nothing until DTR is set. A pseudo-terminal has
    // no modem lines and refuses; that is no reason to fail.
    serial->setDataTerminalReady(true);
    serial->clearError();

    Port &p = g_ports[port];
    resetPort(p);
    p.serial = serial;
    p.inputLimit = inputQueueSize > 0 ? inputQueueSize : kDefaultQueueSize;
    p.outputLimit = outputQueueSize > 0 ? outputQueueSize : kDefaultQueueSize;
    connectPort(port, serial);
    return 0;
}

int CloseCom(int port) {
    if (!validNumber(port)) return kComInvalidPortNumber;
    Port &p = g_ports[port];
    if (QSerialPort *serial = p.serial) {
        serial->close();
        delete serial;
    }
    resetPort(p);
    return 0;
}

int SetComTime(int port, double timeoutSeconds) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    if (!(timeoutSeconds >= 0.0)) return kComInvalidParameter;
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    if (p->lost) return kComIoError;
    const auto flow = mode != 0 ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl;
    return p->serial->setFlowControl(flow) ? 0 : kComIoError;
}

int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    if (notifyCount < 0 || notifyCount > p->inputLimit) return kComInvalidParameter;
    const bool on = callback != nullptr && eventMask != 0;
    p->mask = on ? eventMask : 0;
    p->callback = on ? callback : nullptr;
    p->callbackData = on ? callbackData : nullptr;
    p->notifyCount = std::max(1, notifyCount);
    p->eventChar = eventCharacter >= 0 && eventCharacter <= 0xFF ? eventCharacter : -1;
    p->armed = true;
    p->pending = p->lost ? COM_EV_LINE_LOST : 0;  // a lost device is told to every new callback
    if (on && (p->lost || ((p->mask & COM_EV_RECEIVE) && p->input.size() >= p->notifyCount)))
        postCheck(port);
    return 0;
}

int ComWrt(int port, const char *buffer, int count) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    if (buffer == nullptr || count < 0) return kComInvalidParameter;
    if (p->lost) return kComIoError;
    if (count == 0) return 0;
    if (p->serial->bytesToWrite() + count > p->outputLimit) push(*p);
    const qint64 room = p->outputLimit - p->serial->bytesToWrite();
    if (room <= 0) return 0;
    const qint64 written = p->serial->write(buffer, std::min<qint64>(count, room));
    if (written < 0) return kComIoError;
    push(*p);
    return p->lost ? kComIoError : static_cast<int>(written);
}

int ComRd(int port, char *buffer, int count) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    if (buffer == nullptr || count < 0) return kComInvalidParameter;
    pollDevice(port);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(p->timeout));
    while (p->input.size() < count && !p->lost && p->serial->isOpen()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        p->serial->waitForReadyRead(static_cast<int>(std::min<long long>(left, kReadSliceMs)));
        takeIn(port);
    }
    const int n = static_cast<int>(std::min<qsizetype>(count, p->input.size()));
    if (n > 0) std::memcpy(buffer, p->input.constData(), static_cast<std::size_t>(n));
    p->input.remove(0, n);
    rearm(*p);
    return n;
}

int GetInQLen(int port) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    pollDevice(port);
    return static_cast<int>(p->input.size());
}

int ComLineLost(int port) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    return p->lost ? 1 : 0;
}

int FlushInQ(int port) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    p->input.clear();
    if (!p->lost && p->serial->isOpen()) p->serial->clear(QSerialPort::Input);
    rearm(*p);
    return 0;
}

int FlushOutQ(int port) {
    int code = 0;
    Port *p = openPort(port, &code);
    if (!p) return code;
    if (!p->lost && p->serial->isOpen()) p->serial->clear(QSerialPort::Output);
    return 0;
}
