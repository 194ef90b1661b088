// Texts as the program keeps them, in UTF-8, whatever the controls hold: no
// window needed.
#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <algorithm>
#include <cstring>

#include "ui.h"
#include "ui_internal.h"

namespace kvexui {

// UTF-8, or Latin-1 where it is no UTF-8 (the sensor's micro sign is one
// byte).
QString DecodeText(const char *text) {
    if (!text) return QString();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(QByteArrayView(text));
    return utf8.hasError() ? QString::fromLatin1(text) : s;
}

}  // namespace kvexui

using kvexui::DecodeText;

int TextAsUtf8(const char *text, char *out, int size) {
    if (!out || size < 1) return 0;
    const QByteArray utf8 = DecodeText(text).toUtf8();
    int n = std::min(static_cast<int>(utf8.size()), size - 1);
    while (n > 0 && n < utf8.size() && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, utf8.constData(), static_cast<std::size_t>(n));
    out[n] = '\0';
    return n;
}
