// Files: the program's directory, path joining, deleting, the file selection
// dialog and the array files (numbers as text rows, or raw bytes).
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QStandardPaths>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ui_internal.h"
#include "ui_testing.h"

namespace kvexui {
namespace {

constexpr std::size_t kPathBytes = 260;

FileSelectScript &Script() {
    static FileSelectScript script;
    return script;
}

int CopyPath(const std::string &text, char *out) {
    if (text.size() >= kPathBytes) return UIE_TOO_LONG;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

// "*.cfg" gives ".cfg"; "*", "*.*" or no filter give nothing.
QString ExtensionOf(const QString &filter) {
    const QString first = filter.section(QLatin1Char(';'), 0, 0).trimmed();
    const int dot = first.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return QString();
    const QString ext = first.mid(dot);
    return ext.contains(QLatin1Char('*')) || ext.contains(QLatin1Char('?')) ? QString() : ext;
}

QString AcceptLabel(int buttonLabel) {
    switch (buttonLabel) {
        case VAL_SAVE_BUTTON:
            return QStringLiteral("Save");
        case VAL_LOAD_BUTTON:
            return QStringLiteral("Load");
        case VAL_SELECT_BUTTON:
            return QStringLiteral("Select");
        default:
            return QStringLiteral("OK");
    }
}

void SetUpDialog(QFileDialog &dialog, const FileSelectRequest &req, bool allowMakeDirectory) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(req.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);  // a load dialog may name a new file too
    dialog.setOption(QFileDialog::ReadOnly, !allowMakeDirectory);
    dialog.setLabelText(QFileDialog::Accept, AcceptLabel(req.buttonLabel));
    dialog.setDirectory(QString::fromStdString(req.directory));
    const QString filter = QString::fromStdString(req.filter);
    QStringList filters;
    if (!filter.isEmpty()) filters << filter;
    if (!req.restrictExtension || filter.isEmpty()) filters << QStringLiteral("All files (*)");
    dialog.setNameFilters(filters);
    const QString ext = ExtensionOf(filter);
    if (req.restrictExtension && !ext.isEmpty()) dialog.setDefaultSuffix(ext.mid(1));
    if (!req.defaultName.empty()) dialog.selectFile(QString::fromStdString(req.defaultName));
}

// The real dialog. A save dialog asks before it hands back an existing file.
bool RunDialog(const FileSelectRequest &req, bool allowMakeDirectory, std::string &path) {
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(req.title));
    SetUpDialog(dialog, req, allowMakeDirectory);
    const ModalScope pass;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    path = dialog.selectedFiles().first().toStdString();
    return true;
}

// The answer as the caller gets it: a relative name lies in the default
// directory, and a required extension is added.
QString ChosenFile(const FileSelectRequest &req, const std::string &answer) {
    QString file = QString::fromStdString(answer);
    if (QFileInfo(file).isRelative())
        file = QDir(QString::fromStdString(req.directory)).filePath(file);
    const QString ext = ExtensionOf(QString::fromStdString(req.filter));
    if (req.restrictExtension && !ext.isEmpty() && !file.endsWith(ext, Qt::CaseInsensitive))
        file += ext;
    return file;
}

void AskReplaceLater(QWidget *parent, const FileSelectRequest &req, const QString &file,
                     std::function<void(const QString &)> chosen) {
    auto *box = new QMessageBox(QMessageBox::Warning, QString::fromStdString(req.title),
                                QStringLiteral("%1 already exists.\nDo you want to replace it?")
                                    .arg(QDir::toNativeSeparators(file)),
                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<QWidget> owner(parent);
    QObject::connect(box, &QDialog::finished, box, [box, owner, req, file, chosen] {
        if (box->clickedButton() == box->button(QMessageBox::Yes)) return chosen(file);
        // As in Qt's own dialog, "no" goes back to choosing, at that name.
        FileSelectRequest again = req;
        again.directory = QFileInfo(file).absolutePath().toStdString();
        again.defaultName = QFileInfo(file).fileName().toStdString();
        AskFileLater(owner, again, chosen);
    });
    box->open();
}

// ---------------------------------------------------------------- array files
std::size_t SourceIndex(int order, int groups, int perGroup, int group, int element) {
    return order == VAL_DATA_MULTIPLEXED ? static_cast<std::size_t>(element) * groups + group
                                         : static_cast<std::size_t>(group) * perGroup + element;
}

void AppendValue(std::string &out, const void *array, int type, std::size_t i, int width) {
    char buf[64];
    const double v = ReadArrayValue(array, type, static_cast<long long>(i));
    std::to_chars_result r{};
    if (type == VAL_FLOAT)
        r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(v));
    else if (type == VAL_DOUBLE)
        r = std::to_chars(buf, buf + sizeof buf, v);
    else
        r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v));
    const std::size_t len = static_cast<std::size_t>(r.ptr - buf);
    if (width > 0 && len < static_cast<std::size_t>(width)) out.append(width - len, ' ');
    out.append(buf, len);
}

std::string TextRows(const void *array, int type, int count, int groups, int order, int layout,
                     int separator, int width) {
    const int perGroup = count / groups;
    const bool groupRows = layout == VAL_GROUPS_AS_ROWS;
    const int rows = groupRows ? groups : perGroup;
    const int columns = groupRows ? perGroup : groups;
    const char sep = separator == VAL_SEP_BY_COMMA ? ',' : '\t';
    std::string out;
    for (int r = 0; r < rows; ++r) {
        for (int col = 0; col < columns; ++col) {
            if (col > 0 && separator != VAL_CONST_WIDTH) out += sep;
            const std::size_t i = groupRows ? SourceIndex(order, groups, perGroup, r, col)
                                            : SourceIndex(order, groups, perGroup, col, r);
            AppendValue(out, array, type, i, width);
        }
        out += "\r\n";
    }
    return out;
}

bool ReadWholeFile(const char *file, std::string &bytes) {
    FILE *f = std::fopen(file, "rb");
    if (!f) return false;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

void WriteArrayValue(void *array, int type, std::size_t i, long long iv, double dv) {
    switch (type) {
        case VAL_CHAR:
            static_cast<signed char *>(array)[i] = static_cast<signed char>(iv);
            break;
        case VAL_UNSIGNED_CHAR:
            static_cast<unsigned char *>(array)[i] = static_cast<unsigned char>(iv);
            break;
        case VAL_SHORT_INTEGER:
            static_cast<short *>(array)[i] = static_cast<short>(iv);
            break;
        case VAL_UNSIGNED_SHORT_INTEGER:
            static_cast<unsigned short *>(array)[i] = static_cast<unsigned short>(iv);
            break;
        case VAL_INTEGER:
            static_cast<int *>(array)[i] = static_cast<int>(iv);
            break;
        case VAL_UNSIGNED_INTEGER:
            static_cast<unsigned int *>(array)[i] = static_cast<unsigned int>(iv);
            break;
        case VAL_FLOAT:
            static_cast<float *>(array)[i] = static_cast<float>(dv);
            break;
        default:
            static_cast<double *>(array)[i] = dv;
            break;
    }
}

bool IsSeparator(char ch) { return ch == ',' || std::isspace(static_cast<unsigned char>(ch)); }

// One number of the text; integers as 64-bit values, reals as doubles.
bool ParseToken(const std::string &token, long long &iv, double &dv) {
    const char *s = token.c_str();
    char *end = nullptr;
    errno = 0;
    iv = std::strtoll(s, &end, 10);
    if (*end == '\0' && errno == 0) {
        dv = static_cast<double>(iv);
        return true;
    }
    dv = std::strtod(s, &end);
    if (end == s || *end != '\0') return false;
    iv = CutToInt64(dv);
    return true;
}

// Reads the numbers in file order; false when there are too few of them or
// something else stands before enough were read.
bool ReadNumbers(const std::string &text, int count, std::vector<long long> &ints,
                 std::vector<double> &reals) {
    std::size_t pos = 0;
    while (static_cast<int>(ints.size()) < count) {
        while (pos < text.size() && IsSeparator(text[pos])) ++pos;
        if (pos >= text.size()) return false;
        std::size_t end = pos;
        while (end < text.size() && !IsSeparator(text[end])) ++end;
        long long iv = 0;
        double dv = 0;
        if (!ParseToken(text.substr(pos, end - pos), iv, dv)) return false;
        ints.push_back(iv);
        reals.push_back(dv);
        pos = end;
    }
    return true;
}

bool ArrayArgumentsGood(const char *file, const void *array, int type, int count, int groups,
                        int fileType) {
    return file && *file && array && count >= 0 && groups >= 1 && count % groups == 0 &&
           DataTypeSize(type) > 0 && (fileType == VAL_ASCII || fileType == VAL_BINARY);
}

}  // namespace

void AskFileLater(QWidget *parent, const FileSelectRequest &req,
                  std::function<void(const QString &file)> chosen) {
    if (Script()) {
        std::string answer;
        if (Script()(req, answer) && !answer.empty()) chosen(ChosenFile(req, answer));
        return;
    }
    auto *dialog = new QFileDialog(parent, QString::fromStdString(req.title));
    SetUpDialog(*dialog, req, true);
    // Qt's own question would run an event loop of its own; ours does not.
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<QWidget> owner(parent);
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, owner, req, chosen](int result) {
        if (result != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return;
        const QString file = ChosenFile(req, dialog->selectedFiles().first().toStdString());
        if (req.save && QFileInfo::exists(file))
            AskReplaceLater(owner, req, file, chosen);
        else
            chosen(file);
    });
    dialog->open();
}

}  // namespace kvexui

using namespace kvexui;

void SetFileSelectScript(FileSelectScript script) { Script() = std::move(script); }

int GetProjectDir(char *dir) {
    if (!dir) return UIE_BAD_ARGUMENT;
    dir[0] = '\0';
    if (!RunTimeReady()) return UIE_NOT_INITIALISED;
    const QString path = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    return CopyPath(path.toLocal8Bit().toStdString(), dir);
}

int GetDocumentsDir(char *dir) {
    if (!dir) return UIE_BAD_ARGUMENT;
    dir[0] = '\0';
    const QString path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (path.isEmpty() || !QDir().mkpath(path)) return UIE_FILE;
    return CopyPath(QDir::toNativeSeparators(path).toLocal8Bit().toStdString(), dir);
}

int MakePathname(const char *dir, const char *file, char *path) {
    if (!dir || !file || !path) return UIE_BAD_ARGUMENT;
    std::string joined = dir;
    if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') joined += '/';
    joined += file;
    const int code = CopyPath(joined, path);
    if (code < 0) path[0] = '\0';
    return code;
}

int RT_DeleteFile(const char *path) {
    if (!path || !*path) return UIE_BAD_ARGUMENT;
    return std::remove(path) == 0 ? 0 : UIE_FILE;
}

int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec,
                    const char *fileTypeList, const char *title, int buttonLabel,
                    int /*restrictDirectory*/, int restrictExtension, int /*allowCancel*/,
                    int allowMakeDirectory, char *path) {
    if (!path) return UIE_BAD_ARGUMENT;
    if (!WindowsReady()) return UIE_NOT_INITIALISED;
    FileSelectRequest req;
    req.directory = defaultDirectory ? defaultDirectory : "";
    req.defaultName = defaultFileSpec ? defaultFileSpec : "";
    req.filter = fileTypeList ? fileTypeList : "";
    req.title = title ? title : "";
    req.buttonLabel = buttonLabel;
    req.restrictExtension = restrictExtension != 0;
    req.save = buttonLabel == VAL_OK_BUTTON || buttonLabel == VAL_SAVE_BUTTON;
    std::string answer;
    bool chosen = false;
    if (Script()) {
        const ModalScope pass;
        chosen = Script()(req, answer);
    } else {
        chosen = RunDialog(req, allowMakeDirectory != 0, answer);
    }
    if (!chosen || answer.empty()) return VAL_NO_FILE_SELECTED;
    const QString file = ChosenFile(req, answer);
    const int code = CopyPath(QDir::toNativeSeparators(file).toLocal8Bit().toStdString(), path);
    if (code < 0) return code;
    return QFileInfo::exists(file) ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
}

int ArrayToFile(const char *file, const void *array, int dataType, int numElements, int numGroups,
                int dataOrder, int fileLayout, int separator, int fieldWidth, int fileType,
                int fileAction) {
    if (!ArrayArgumentsGood(file, array, dataType, numElements, numGroups, fileType) ||
        (fileAction != VAL_TRUNCATE && fileAction != VAL_APPEND) || fieldWidth < 0 ||
        fieldWidth > 1000 || separator < VAL_CONST_WIDTH || separator > VAL_SEP_BY_TAB ||
        (separator == VAL_CONST_WIDTH && fieldWidth < 1 && fileType == VAL_ASCII))
        return UIE_BAD_ARGUMENT;
    const std::string bytes =
        fileType == VAL_BINARY
            ? std::string(static_cast<const char *>(array),
                          static_cast<std::size_t>(numElements) * DataTypeSize(dataType))
            : TextRows(array, dataType, numElements, numGroups, dataOrder, fileLayout, separator,
                       fieldWidth);
    FILE *f = std::fopen(file, fileAction == VAL_APPEND ? "ab" : "wb");
    if (!f) return UIE_FILE;
    const std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
    const bool closed = std::fclose(f) == 0;
    return written == bytes.size() && closed ? 0 : UIE_FILE;
}

int FileToArray(const char *file, void *array, int dataType, int numElements, int numGroups,
                int dataOrder, int fileLayout, int fileType) {
    if (!ArrayArgumentsGood(file, array, dataType, numElements, numGroups, fileType))
        return UIE_BAD_ARGUMENT;
    std::string bytes;
    if (!ReadWholeFile(file, bytes)) return UIE_FILE;
    if (fileType == VAL_BINARY) {
        const std::size_t need = static_cast<std::size_t>(numElements) * DataTypeSize(dataType);
        if (bytes.size() < need) return UIE_BAD_VALUE;
        std::memcpy(array, bytes.data(), need);
        return 0;
    }
    std::vector<long long> ints;
    std::vector<double> reals;
    if (!ReadNumbers(bytes, numElements, ints, reals)) return UIE_BAD_VALUE;
    const int perGroup = numElements / numGroups;
    for (int k = 0; k < numElements; ++k) {
        const bool groupRows = fileLayout == VAL_GROUPS_AS_ROWS;
        const int group = groupRows ? k / perGroup : k % numGroups;
        const int element = groupRows ? k % perGroup : k / numGroups;
        WriteArrayValue(array, dataType,
                        SourceIndex(dataOrder, numGroups, perGroup, group, element), ints[k],
                        reals[k]);
    }
    return 0;
}
