// What a station needs from the service manager that runs it: the readiness,
// state and watchdog messages of its notification socket, log lines that
// carry their priority when standard error goes to the journal, and its
// configuration file. Without a service manager each of these is silent or
// plain, so the same program serves a terminal as well.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// ---------------------------------------------------------------- notification
// Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1") to the socket
// that $NOTIFY_SOCKET names; false when there is none or it did not go out.
bool NotifyServiceManager(const char *message);
// Half the watchdog interval that $WATCHDOG_USEC asks for (when
// $WATCHDOG_PID, if set, names this process): how often to say the loop
// is alive; 0 when no watchdog is asked for.
double WatchdogPingSeconds();

// ---------------------------------------------------------------- log
enum LogPriority { kLogError = 3, kLogWarning = 4, kLogInfo = 6 };
// True when standard error is the journal's stream ($JOURNAL_STREAM names
// its device and inode): each line then starts with its priority, <3> ...
bool LogToJournal();
// One line on standard error, "kvex: " and the text (printf's format), with
// the priority in front when the journal reads it.
void Say(LogPriority priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------- configuration
// One "key = value" line of a configuration file.
struct ConfigEntry {
    std::string key, value;
    int line = 0;
};
// Reads a configuration file: "key = value" lines, blank lines and lines
// that start with # pass; spaces around key and value do not count. False,
// with the reason (naming the line), on a line without "=", an empty key,
// a file that cannot be read or is larger than a configuration can be;
// badLine is then the line's number, or 0 when the file could not serve.
bool ReadConfigFile(const char *path, std::vector<ConfigEntry> &entries, std::string &why,
                    int &badLine);
// A flag's value: 1 for true/yes/on/1, 0 for false/no/off/0, -1 otherwise.
int ConfigFlag(const std::string &value);
