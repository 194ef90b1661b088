// The Publish window: broker, topic root, user, password and CA file, plain
// JSON or Sparkplug B with its names, the switch, and the broker's state. What the operator set is
// remembered; the password only when asked, and then in a file of its own that only the user can
// read, never among the settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "com232.h"
#include "kvex_main.h"
#include "publish.h"
#include "ui.h"

namespace {

constexpr double kFinishSeconds = 5;  // to send what waits once switched off
constexpr double kEndSeconds = 3;     // the same when the program closes

// "<settings file>.mqtt-password"
bool PasswordFile(char *path, std::size_t size) {
    char settings[260];
    if (!GetSettingsFile(settings, sizeof settings)) return false;
    return std::snprintf(path, size, "%s.mqtt-password", settings) < static_cast<int>(size);
}

bool KeepPassword(const char *password) {
    char path[300];
    if (!PasswordFile(path, sizeof path)) return false;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    // An older file of wider rights keeps them through O_CREAT: narrow them first.
    bool ok = fchmod(fd, 0600) == 0;
    const std::size_t n = std::strlen(password);
    ok = ok && write(fd, password, n) == static_cast<ssize_t>(n);
    return close(fd) == 0 && ok;
}

void ForgetPassword() {
    char path[300];
    if (PasswordFile(path, sizeof path)) unlink(path);
}

void KeptPassword(char *password, std::size_t size) {
    password[0] = '\0';
    char path[300];
    if (!PasswordFile(path, sizeof path)) return;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    struct stat st {};
    // A file others could read is no secret kept: it is not used.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0) {
        const ssize_t n = read(fd, password, size - 1);
        password[n > 0 ? n : 0] = '\0';
        password[std::strcspn(password, "\r\n")] = '\0';
    }
    close(fd);
}

void TextField(int control, char *out, std::size_t size) {
    out[0] = '\0';
    GetCtrlVal(pPublish, control, out, size);
    out[std::strcspn(out, "\r\n")] = '\0';  // one line, whatever was pasted
}

void RestoreField(const char *key, int control) {
    char text[512] = "";
    if (GetSettingText(key, text, sizeof text)) SetCtrlVal(pPublish, control, text);
}

void RememberFields() {
    if (unattended) return;
    static const struct {
        const char *key;
        int control;
    } kFields[] = {{"publish/url", PUBLISH_BrokerUrl},
                   {"publish/root", PUBLISH_TopicRoot},
                   {"publish/user", PUBLISH_BrokerUser},
                   {"publish/cafile", PUBLISH_CaFile},
                   {"publish/sparkplug", PUBLISH_SparkplugName},
                   {"publish/sparkplug_host", PUBLISH_SparkplugHost}};
    for (const auto &f : kFields) {
        char text[512];
        TextField(f.control, text, sizeof text);
        SetSettingText(f.key, text);
    }
    int keep = 0, plain = 0;
    GetCtrlVal(pPublish, PUBLISH_KeepPassword, &keep);
    SetSettingNumber("publish/keep_password", keep);
    GetCtrlVal(pPublish, PUBLISH_PlainPassword, &plain);
    SetSettingNumber("publish/plain_password", plain);
    int format = 0, qos = 0;
    GetCtrlVal(pPublish, PUBLISH_PublishFormat, &format);
    SetSettingNumber("publish/format", format);
    GetCtrlVal(pPublish, PUBLISH_SparkplugQos, &qos);
    SetSettingNumber("publish/sparkplug_qos", qos);
}

unsigned long lastDropped = 0;

void ShowBrokerState(const char *text, bool) {
    if (text[0] == '\0') return;  // ended: the switch's callback says how
    const PublishFigures f = PublishingFigures();
    char all[600];
    std::snprintf(all, sizeof all, "%s\n%lu published, %lu queued, %lu dropped", text, f.published,
                  f.queued, f.dropped);
    ResetTextBox(pPublish, PUBLISH_PublishState, all);
    if (f.dropped > 0 && lastDropped == 0)
        ShowStatusText("MQTT queue full: the oldest samples are dropped");
    lastDropped = f.dropped;
}

bool SparkplugChosen() {
    int format = 0;
    GetCtrlVal(pPublish, PUBLISH_PublishFormat, &format);
    return format == 1;
}

// The fields publishing was last switched on with, to see on closing
// whether they changed.
PublishOptions inUse;

void ReadOptions(PublishOptions &o) {
    TextField(PUBLISH_BrokerUrl, o.url, sizeof o.url);
    TextField(PUBLISH_TopicRoot, o.root, sizeof o.root);
    TextField(PUBLISH_BrokerUser, o.user, sizeof o.user);
    TextField(PUBLISH_BrokerPassword, o.password, sizeof o.password);
    TextField(PUBLISH_CaFile, o.caFile, sizeof o.caFile);
    int plain = 0;
    GetCtrlVal(pPublish, PUBLISH_PlainPassword, &plain);
    o.allowPlainPassword = plain != 0;
    if (o.password[0]) KeepSecretsOutOfDumps();
    if (SparkplugChosen()) {
        TextField(PUBLISH_SparkplugName, o.sparkplug, sizeof o.sparkplug);
        TextField(PUBLISH_SparkplugHost, o.sparkplugHost, sizeof o.sparkplugHost);
        int qos = 0;
        GetCtrlVal(pPublish, PUBLISH_SparkplugQos, &qos);
        o.sparkplugQos = qos != 0 ? 1 : 0;
    }
}

bool SameOptions(const PublishOptions &a, const PublishOptions &b) {
    return std::strcmp(a.url, b.url) == 0 && std::strcmp(a.root, b.root) == 0 &&
           std::strcmp(a.user, b.user) == 0 && std::strcmp(a.password, b.password) == 0 &&
           std::strcmp(a.caFile, b.caFile) == 0 && a.allowPlainPassword == b.allowPlainPassword &&
           std::strcmp(a.sparkplug, b.sparkplug) == 0 &&
           std::strcmp(a.sparkplugHost, b.sparkplugHost) == 0 && a.sparkplugQos == b.sparkplugQos;
}

bool TurnOn() {
    PublishOptions o;
    ReadOptions(o);
    char why[240];
    lastDropped = 0;
    const bool unnamed = SparkplugChosen() && o.sparkplug[0] == '\0';
    if (unnamed) std::snprintf(why, sizeof why, "Sparkplug B needs GROUP/EDGE_NODE[/DEVICE]");
    const bool on = !unnamed && StartPublishing(o, why, sizeof why);
    inUse = o;
    std::memset(o.password, 0, sizeof o.password);
    if (!on) {
        char text[300];
        std::snprintf(text, sizeof text, "Cannot publish: %s", why);
        ResetTextBox(pPublish, PUBLISH_PublishState, text);
        ShowStatusText(text);
        return false;
    }
    char text[480];
    if (o.sparkplug[0])
        std::snprintf(text, sizeof text, "Publishing as Sparkplug B node %s", o.sparkplug);
    else
        std::snprintf(text, sizeof text, "Publishing to %s/...", PublishTopicRoot());
    ShowText(text);
    return true;
}

// The fields, the Remember choice and the kept password as the window shows
// them, whichever way the operator leaves it.
void KeepWhatWasSet() {
    RememberFields();
    if (unattended) return;
    int keep = 0;
    GetCtrlVal(pPublish, PUBLISH_KeepPassword, &keep);
    char password[256];
    TextField(PUBLISH_BrokerPassword, password, sizeof password);
    if (password[0]) KeepSecretsOutOfDumps();
    if (keep && !KeepPassword(password))
        ShowStatusText("Cannot keep the password: its file cannot be written");
    if (!keep) ForgetPassword();
    std::memset(password, 0, sizeof password);
}

void SwitchOff(double seconds) {
    const unsigned long waiting = StopPublishing(seconds, false);
    char text[200];
    std::snprintf(text, sizeof text,
                  waiting ? "Off: %lu samples still going out (for at most %.0f s)" : "Off",
                  waiting, seconds);
    ResetTextBox(pPublish, PUBLISH_PublishState, text);
}

// Closing the window applies what was typed: a publisher that runs on other
// fields than the window shows starts again with them, as the switch would.
void CloseWindow() {
    KeepWhatWasSet();
    PublishOptions now;
    ReadOptions(now);
    if (PublishingOn() && !SameOptions(now, inUse)) {
        SwitchOff(kFinishSeconds);
        if (!TurnOn()) {
            SetCtrlVal(pPublish, PUBLISH_PublishOn, 0);
            if (!unattended) SetSettingNumber("publish/on", 0);
        }
    }
    std::memset(now.password, 0, sizeof now.password);
    HidePanel(pPublish);
}

}  // namespace

int CC_BTNPublish(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) DisplayPanel(pPublish);
    return 0;
}

int CC_PublishOn(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    int on = 0;
    GetCtrlVal(pPublish, PUBLISH_PublishOn, &on);
    KeepWhatWasSet();
    if (on && !TurnOn()) on = 0;
    if (!on && PublishingOn()) SwitchOff(kFinishSeconds);
    SetCtrlVal(pPublish, PUBLISH_PublishOn, on);
    if (!unattended) SetSettingNumber("publish/on", on);
    return 0;
}

// Remember password acts at once, whatever publishing does: switched off,
// the kept password leaves the disk now, not only when the window closes or
// the switch is next used.
int CC_KeepPassword(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) KeepWhatWasSet();
    return 0;
}

int CC_CaFileBtn(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char path[260] = "";
    if (FileSelectPopup("", "*.pem", "*.pem;*.crt;*.*", "CA file of the broker", VAL_LOAD_BUTTON, 0,
                        0, 1, 0, path) == 1)
        SetCtrlVal(pPublish, PUBLISH_CaFile, path);
    return 0;
}

int CC_PublishClose(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) CloseWindow();
    return 0;
}

int CC_PUBLISH(int, int event, void *, int, int) {
    if (event == EVENT_CLOSE) CloseWindow();
    return 0;
}

void RestorePublishing() {
    SetBrokerStateListener(ShowBrokerState);
    RestoreField("publish/url", PUBLISH_BrokerUrl);
    RestoreField("publish/root", PUBLISH_TopicRoot);
    RestoreField("publish/user", PUBLISH_BrokerUser);
    RestoreField("publish/cafile", PUBLISH_CaFile);
    RestoreField("publish/sparkplug", PUBLISH_SparkplugName);
    RestoreField("publish/sparkplug_host", PUBLISH_SparkplugHost);
    SetCtrlVal(pPublish, PUBLISH_PublishFormat, GetSettingNumber("publish/format", 0) == 1 ? 1 : 0);
    SetCtrlVal(pPublish, PUBLISH_SparkplugQos,
               GetSettingNumber("publish/sparkplug_qos", 0) == 1 ? 1 : 0);
    SetCtrlVal(pPublish, PUBLISH_PlainPassword,
               GetSettingNumber("publish/plain_password", 0) ? 1 : 0);
    const int keep = GetSettingNumber("publish/keep_password", 0) ? 1 : 0;
    SetCtrlVal(pPublish, PUBLISH_KeepPassword, keep);
    if (keep) {
        char password[256];
        KeptPassword(password, sizeof password);
        if (password[0]) KeepSecretsOutOfDumps();
        SetCtrlVal(pPublish, PUBLISH_BrokerPassword, password);
        std::memset(password, 0, sizeof password);
    }
    // A station that published when it was closed publishes again.
    if (!unattended && GetSettingNumber("publish/on", 0)) {
        SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
        CC_PublishOn(pPublish, PUBLISH_PublishOn, EVENT_COMMIT, nullptr, 0, 0);
    }
}

void EndPublishing() {
    KeepWhatWasSet();
    StopPublishing(kEndSeconds, true);
}
