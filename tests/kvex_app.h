// Test harness: the front-end started as WinMain starts it, but without
// entering the event loop, against a simulated sensor on a real
// pseudo-terminal. Tests then drive callbacks and read controls.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "com232.h"
#include "kvex_main.h"
#include "rs232.h"
#include "sensor_sim.h"
#include "ui.h"

namespace kvextest {

// A sensor that answers at once and whose target stands still.
inline kvexsim::SimConfig FastSensor() {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    cfg.motion = false;
    cfg.latencySeconds = 0.0;
    return cfg;
}

inline kvexsim::SimConfig SensorWith(const kvexsim::Faults &faults) {
    kvexsim::SimConfig cfg = FastSensor();
    cfg.faults = faults;
    return cfg;
}

inline kvexsim::SimConfig SensorWith(const kvexsim::HardwareInfo &hardware) {
    kvexsim::SimConfig cfg = FastSensor();
    cfg.hardware = hardware;
    return cfg;
}

class KVexApp {
  public:
    explicit KVexApp(kvexsim::SimConfig cfg = FastSensor()) : sensor_(cfg) {}
    ~KVexApp() { Stop(); }

    // Loads the panels and sets the start values; with handshake the port is
    // opened and the sensor asked as at start-up.
    // Unless remembering is asked for, every start is a first one.
    bool Start(bool handshake = true, bool remembering = false) {
        if (!remembering) ForgetSettings();
        if (!sensor_.start()) return false;
        ClearComPortDevices();
        SetComPortDevice(1, sensor_.devicePath().c_str());
        if (LoadKVexPanels() < 0) return false;
        loaded_ = true;
        StartKVex(handshake);
        return true;
    }

    void Stop() {
        stop_flag = 1;
        CloseCom(com);
        if (loaded_) DiscardKVexPanels();
        loaded_ = false;
        sensor_.stop();
    }

    kvexsim::SensorSim &sensor() { return sensor_; }

    static std::string Status() {
        char text[300] = "";
        GetCtrlVal(pHandle, PANEL_StatusLine, text, sizeof text);
        return text;
    }

    // Processes events for a while, as the event loop would.
    static void Pump(double seconds) {
        const double t0 = Timer();
        while (Timer() - t0 < seconds) ProcessSystemEvents();
    }

    static unsigned short U16(int panel, int control) {
        unsigned short v = 0;
        GetCtrlVal(panel, control, &v);
        return v;
    }

    static int Attr(int panel, int control, int attribute) {
        int v = -1;
        GetCtrlAttribute(panel, control, attribute, &v);
        return v;
    }

    static void Commit(int (*callback)(int, int, int, void *, int, int), int panel, int control) {
        callback(panel, control, EVENT_COMMIT, nullptr, 0, 0);
    }

  private:
    kvexsim::SensorSim sensor_;
    bool loaded_ = false;
};

// The indicator beside the status line.
inline std::string LinkState() {
    char text[400] = "";
    GetCtrlVal(pHandle, PANEL_LinkState, text, sizeof text);
    return text;
}

// Processes events until done() or the time is up; done() at the end.
inline bool PumpUntil(const std::function<bool()> &done, double seconds) {
    const double end = Timer() + seconds;
    while (Timer() < end && !done()) ProcessSystemEventsUntil(std::min(end, Timer() + 0.05));
    return done();
}

// Stops the mode that runs once the sensor took n more requests of the
// command: a test of what a mode does over many exchanges counts them
// instead of giving it a while. After giveUp seconds it stops all the same,
// so a stalled mode ends and the count tells.
inline void AfterRequests(kvexsim::SensorSim &sensor, int command, int n,
                          std::function<void()> then, double giveUp = 30.0) {
    auto *poll = new QTimer;
    const int target = sensor.commandCount(command) + n;
    const double end = Timer() + giveUp;
    QObject::connect(poll, &QTimer::timeout,
                     [poll, &sensor, command, target, end, then = std::move(then)] {
                         if (sensor.commandCount(command) < target && Timer() < end) return;
                         poll->stop();
                         poll->deleteLater();
                         then();
                     });
    poll->start(5);
}
inline void StopAfterRequests(kvexsim::SensorSim &sensor, int command, int n,
                              double giveUp = 30.0) {
    AfterRequests(sensor, command, n, RequestStop, giveUp);
}

// Starts the program on port 1 named by link, a path that outlives the
// sensor's pseudo-terminal as /dev/serial/by-id/... outlives a USB adapter
// that is pulled. True once the start-up questions passed.
inline bool StartOnLink(const std::string &link, const kvexsim::SensorSim &sensor) {
    std::remove(link.c_str());
    if (symlink(sensor.devicePath().c_str(), link.c_str()) != 0) return false;
    ForgetSettings();
    if (LoadKVexPanels() < 0) return false;
    ClearComPortDevices();
    SetComPortDevice(1, link.c_str());
    StartKVex(true);
    return LinkReady();
}

}  // namespace kvextest
