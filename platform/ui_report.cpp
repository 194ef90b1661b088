// The printed document: Qt's PDF writer and painter, in points (1/72 inch),
// so that the coordinates of the page and the sizes of the fonts are one
// unit.
#include "ui_report.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ui.h"

namespace {

constexpr double kMargin = 40;  // points on each side
constexpr double kText = 8.5, kHead = 11, kGap = 6;

// The writer fills a buffer; the file gets it whole at the end or not at
// all, so a full disk leaves neither a cut document nor a word of success,
// and a file it replaces stays as it was until the new one is complete.
struct Document {
    QSaveFile file;
    QBuffer bytes;
    std::unique_ptr<QPdfWriter> writer;
    std::unique_ptr<QPainter> painter;
    double y = 0, width = 0, bottom = 0;
    bool failed = false;
    bool counting = false;  // a pass that only counts the pages
    int page = 1, pages = 0;
};
std::unique_ptr<Document> g_doc;
char g_failure[200] = "";
int g_lastPages = 0;

void Failed(const QString &why) {
    const QByteArray utf8 = why.toUtf8();
    std::snprintf(g_failure, sizeof g_failure, "%s", utf8.constData());
}

QFont Font(double size, bool bold = false) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPointSizeF(size);
    f.setBold(bold);
    // Without shaping no ligature stands for "fi": a reader of the text
    // finds the words as they are spelled.
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
}

QColor Colour(int rgb) { return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

// Room for height points below the current line, on a new page if need be.
// "page N of M" in the foot's middle, below the page's last line.
void Foot(Document &d) {
    const QString text = d.pages > 0 ? QStringLiteral("page %1 of %2").arg(d.page).arg(d.pages)
                                     : QStringLiteral("page %1").arg(d.page);
    QPainter &p = *d.painter;
    const QFont f = Font(kText - 1);
    p.setFont(f);
    p.setPen(Qt::black);
    const QFontMetricsF m(f, d.writer.get());
    p.drawText(QPointF(kMargin + (d.width - m.horizontalAdvance(text)) / 2,
                       d.bottom + kMargin / 2 + m.ascent() / 2),
               text);
}

void Room(double height) {
    Document &d = *g_doc;
    if (d.y + height <= d.bottom || d.y <= kMargin + 1) return;
    Foot(d);
    if (!d.writer->newPage()) d.failed = true;
    ++d.page;
    d.y = kMargin;
}

// The lines of text as they wrap to width.
QStringList Wrapped(const QString &text, const QFontMetricsF &m, double width) {
    QStringList out;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        QString rest = line;
        while (m.horizontalAdvance(rest) > width) {
            int cut = rest.size();
            while (cut > 1 && m.horizontalAdvance(rest.left(cut)) > width) --cut;
            const int space = rest.lastIndexOf(QLatin1Char(' '), cut);
            if (space > 0) cut = space;
            out << rest.left(cut);
            rest = rest.mid(cut).trimmed();
        }
        out << rest;
    }
    return out;
}

void Lines(const QStringList &lines, const QFont &font) {
    Document &d = *g_doc;
    d.painter->setFont(font);
    const QFontMetricsF m(font, d.writer.get());
    for (const QString &l : lines) {
        Room(m.height());
        d.painter->drawText(QPointF(kMargin, d.y + m.ascent()), l);
        d.y += m.height();
    }
}

// Ticks a reader can take in at a glance: 1, 2, 2.5 or 5 times a power of
// ten, four to six of them over the span, labelled with as many decimals as
// the step needs (1245.8 and 830.52 read as noise, 1200 and 800 do not).
struct Ticks {
    double first = 0, step = 1;
    int decimals = 0;
};
Ticks NiceTicks(double lo, double hi) {
    Ticks t;
    const double span = hi > lo ? hi - lo : 1;
    const double raw = span / 5;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double mantissa = 10;
    for (const double m : {1.0, 2.0, 2.5, 5.0})
        if (raw <= m * power * 1.0000001) {
            mantissa = m;
            break;
        }
    t.step = mantissa * power;
    t.first = std::ceil(lo / t.step - 1e-9) * t.step;
    t.decimals = std::max(
        0, static_cast<int>(-std::floor(std::log10(t.step) + 1e-9)) + (mantissa == 2.5 ? 1 : 0));
    return t;
}

// The baselines of the horizontal lines' labels beside the chart: each at
// its line, unless that would lay it over the one before; a line near the
// bottom keeps its label above the axis's numbers.
template <class ToY>
std::vector<double> LabelBaselines(const ReportChart &c, const QRectF &area, const QFontMetricsF &m,
                                   ToY y) {
    std::vector<double> at(c.lineCount, 0);
    std::vector<int> order;
    for (int i = 0; i < c.lineCount; ++i) {
        const double line = y(c.lines[i].at);
        if (c.lines[i].vertical || line < area.top() - 0.5 || line > area.bottom() + 0.5) continue;
        at[i] = line + m.ascent() / 2;
        order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](int a, int b) { return at[a] < at[b]; });
    for (std::size_t k = 1; k < order.size(); ++k)
        at[order[k]] = std::max(at[order[k]], at[order[k - 1]] + m.height());
    if (!order.empty()) at[order.back()] = std::min(at[order.back()], area.bottom());
    for (std::size_t k = order.size(); k-- > 1;)
        at[order[k - 1]] = std::min(at[order[k - 1]], at[order[k]] - m.height());
    return at;
}

void DrawChart(const ReportChart &c, double left, double width) {
    QPainter &p = *g_doc->painter;
    const double top = g_doc->y;
    const QFont small = Font(6.5), title = Font(kText, true);
    const QFontMetricsF ms(small, g_doc->writer.get()), mt(title, g_doc->writer.get());
    p.setFont(title);
    p.setPen(Qt::black);
    p.drawText(QPointF(left, top + mt.ascent()), QString::fromUtf8(c.title ? c.title : ""));
    const QRectF area(left + 44, top + mt.height() + 4, width - 44 - 40, c.heightPt);
    const double xSpan = c.xMax > c.xMin ? c.xMax - c.xMin : 1;
    const double ySpan = c.yMax > c.yMin ? c.yMax - c.yMin : 1;
    const auto X = [&](double x) { return area.left() + (x - c.xMin) / xSpan * area.width(); };
    const auto Y = [&](double y) { return area.bottom() - (y - c.yMin) / ySpan * area.height(); };
    p.save();
    p.setClipRect(area.adjusted(-3, -3, 3, 3));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xA0, 0xB8, 0xD8));
    for (int i = 0; i < c.barCount; ++i)
        p.drawRect(QRectF(QPointF(X(c.barEdges[i]), Y(c.barHeights[i])),
                          QPointF(X(c.barEdges[i + 1]), Y(c.yMin))));
    p.setBrush(Qt::NoBrush);
    for (int s = 0; s < c.seriesCount; ++s) {
        const ReportSeries &r = c.series[s];
        QPen pen(Colour(r.rgb), r.style == REPORT_MARKS ? 0.8 : 0.6);
        if (r.style == REPORT_DASHED) pen.setStyle(Qt::DashLine);
        p.setPen(pen);
        if (r.style == REPORT_MARKS) {
            for (int i = 0; i < r.count; ++i)
                p.drawEllipse(QPointF(X(r.x[i]), Y(r.y[i])), 1.8, 1.8);
            continue;
        }
        QPainterPath path;
        for (int i = 0; i < r.count; ++i) {
            const QPointF at(X(r.x[i]), Y(r.y[i]));
            if (i == 0)
                path.moveTo(at);
            else
                path.lineTo(at);
        }
        p.drawPath(path);
    }
    p.setClipping(false);
    p.setFont(small);
    const std::vector<double> baselines = LabelBaselines(c, area, ms, Y);
    // The lines first, then their labels on a white ground: no line strikes
    // through another one's label.
    for (const bool labels : {false, true})
        for (int i = 0; i < c.lineCount; ++i) {
            const ReportLine &l = c.lines[i];
            QPen pen(Colour(l.rgb), 0.7);
            if (l.dashed && !labels) pen.setStyle(Qt::DashLine);
            p.setPen(pen);
            const double at = l.vertical ? X(l.at) : Y(l.at);
            const bool inView = l.vertical ? at >= area.left() - 0.5 && at <= area.right() + 0.5
                                           : at >= area.top() - 0.5 && at <= area.bottom() + 0.5;
            if (!inView) continue;
            if (!labels) {
                if (l.vertical)
                    p.drawLine(QPointF(at, area.top()), QPointF(at, area.bottom()));
                else
                    p.drawLine(QPointF(area.left(), at), QPointF(area.right(), at));
                continue;
            }
            const QString label = QString::fromUtf8(l.label ? l.label : "");
            const QPointF base =
                l.vertical ? QPointF(at + 1, area.top() + ms.ascent() + (i % 3) * ms.height())
                           : QPointF(area.right() + 2, baselines[i]);
            if (l.vertical)
                p.fillRect(QRectF(base.x(), base.y() - ms.ascent(), ms.horizontalAdvance(label),
                                  ms.height()),
                           Qt::white);
            p.drawText(base, label);
        }
    p.restore();
    p.setPen(QPen(Qt::black, 0.6));
    p.setFont(small);
    p.drawRect(area);
    const double slack = 1e-9;
    const Ticks yt = NiceTicks(c.yMin, c.yMin + ySpan), xt = NiceTicks(c.xMin, c.xMin + xSpan);
    for (double yv = yt.first; yv <= c.yMin + ySpan * (1 + slack); yv += yt.step) {
        const QString text =
            QString::number(std::fabs(yv) < yt.step * slack ? 0 : yv, 'f', yt.decimals);
        p.drawText(QPointF(area.left() - 2 - ms.horizontalAdvance(text), Y(yv) + ms.ascent() / 2),
                   text);
    }
    for (double xv = xt.first; xv <= c.xMin + xSpan * (1 + slack); xv += xt.step) {
        const QString text =
            QString::number(std::fabs(xv) < xt.step * slack ? 0 : xv, 'f', xt.decimals);
        p.drawText(QPointF(X(xv) - ms.horizontalAdvance(text) / 2, area.bottom() + ms.height()),
                   text);
    }
    const QString xl = QString::fromUtf8(c.xLabel ? c.xLabel : "");
    p.drawText(
        QPointF(area.center().x() - ms.horizontalAdvance(xl) / 2, area.bottom() + 2 * ms.height()),
        xl);
    p.save();
    p.translate(left + 6, area.center().y());
    p.rotate(-90);
    const QString yl = QString::fromUtf8(c.yLabel ? c.yLabel : "");
    p.drawText(QPointF(-ms.horizontalAdvance(yl) / 2, 0), yl);
    p.restore();
}

double ChartHeight(const ReportChart &c) { return c.heightPt + 4 + 14 + 2 * 9 + kGap; }

}  // namespace

int ReportOpen(const char *file, const char *title, int pages) {
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())) return UIE_NOT_INITIALISED;
    g_failure[0] = '\0';
    if (file && !file[0]) {
        Failed(QStringLiteral("no file name"));
        return UIE_FILE;
    }
    g_doc.reset();
    auto d = std::make_unique<Document>();
    d->counting = file == nullptr;
    d->pages = std::max(pages, 0);
    if (!d->counting) d->file.setFileName(QString::fromUtf8(file));
    if ((!d->counting && !d->file.open(QIODevice::WriteOnly)) ||
        !d->bytes.open(QIODevice::WriteOnly)) {
        Failed(d->file.errorString());
        return UIE_FILE;
    }
    d->writer = std::make_unique<QPdfWriter>(&d->bytes);
    d->writer->setResolution(72);
    d->writer->setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Point));
    d->writer->setTitle(QString::fromUtf8(title ? title : ""));
    d->writer->setCreator(QStringLiteral("K-VEX"));
    d->painter = std::make_unique<QPainter>();
    if (!d->painter->begin(d->writer.get())) {
        Failed(QStringLiteral("the PDF writer did not start"));
        return UIE_FILE;
    }
    const QRectF page = d->writer->pageLayout().fullRectPoints();
    d->width = page.width() - 2 * kMargin;
    d->bottom = page.height() - kMargin;
    d->y = kMargin;
    g_doc = std::move(d);
    return 0;
}

const char *ReportFailure() { return g_failure; }

int ReportHeading(const char *text) {
    if (!g_doc) return UIE_NOT_INITIALISED;
    g_doc->y += kGap;
    Room(3 * kHead);  // never a heading alone at the foot of a page
    Lines(QStringList{QString::fromUtf8(text ? text : "")}, Font(kHead, true));
    g_doc->y += 2;
    return 0;
}

int ReportParagraph(const char *text) {
    if (!g_doc) return UIE_NOT_INITIALISED;
    const QFont f = Font(kText);
    Lines(Wrapped(QString::fromUtf8(text ? text : ""), QFontMetricsF(f, g_doc->writer.get()),
                  g_doc->width),
          f);
    return 0;
}

int ReportTable(const char *const *cells, int rows, int columns, const double *widths) {
    if (!g_doc) return UIE_NOT_INITIALISED;
    if (!cells || rows < 0 || columns < 1) return UIE_BAD_VALUE;
    Document &d = *g_doc;
    QPainter &p = *d.painter;
    const QFont body = Font(kText - 0.5), head = Font(kText - 0.5, true);
    const QFontMetricsF m(body, d.writer.get());
    double shareSum = 0;
    for (int c = 0; c < columns; ++c) shareSum += widths ? widths[c] : 1;
    for (int r = 0; r < rows; ++r) {
        // A row as high as its tallest wrapped cell.
        std::vector<QStringList> wrapped(columns);
        std::vector<double> w(columns);
        int most = 1;
        for (int c = 0; c < columns; ++c) {
            w[c] = d.width * (widths ? widths[c] : 1) / shareSum;
            const char *cell = cells[static_cast<long>(r) * columns + c];
            wrapped[c] = Wrapped(QString::fromUtf8(cell ? cell : ""), m, w[c] - 4);
            most = std::max(most, static_cast<int>(wrapped[c].size()));
        }
        const double h = most * m.height() + 2;
        Room(h);
        double x = kMargin;
        p.setFont(r == 0 ? head : body);
        p.setPen(QPen(QColor(0x90, 0x90, 0x90), 0.4));
        p.drawLine(QPointF(kMargin, d.y + h), QPointF(kMargin + d.width, d.y + h));
        p.setPen(Qt::black);
        for (int c = 0; c < columns; ++c) {
            for (int k = 0; k < wrapped[c].size(); ++k)
                p.drawText(QPointF(x + 2, d.y + 1 + m.ascent() + k * m.height()), wrapped[c][k]);
            x += w[c];
        }
        d.y += h;
    }
    d.y += kGap;
    return 0;
}

int ReportCharts(const ReportChart *charts, int count) {
    if (!g_doc) return UIE_NOT_INITIALISED;
    if (!charts || count < 1) return UIE_BAD_VALUE;
    double h = 0;
    for (int i = 0; i < count; ++i) h = std::max(h, ChartHeight(charts[i]));
    Room(h);
    const double each = g_doc->width / count;
    for (int i = 0; i < count; ++i) DrawChart(charts[i], kMargin + i * each, each);
    g_doc->y += h;
    return 0;
}

int ReportPages() { return g_lastPages; }

int ReportKeepTogether(double points) {
    if (!g_doc) return UIE_NOT_INITIALISED;
    Room(points);
    return 0;
}

int ReportClose() {
    if (!g_doc) return UIE_NOT_INITIALISED;
    Document &d = *g_doc;
    Foot(d);
    g_lastPages = d.page;
    bool written = d.painter->end() && !d.failed;
    if (d.counting) {
        d.writer.reset();
        g_doc.reset();
        return written ? 0 : UIE_FILE;
    }
    d.writer.reset();
    if (!written) Failed(QStringLiteral("the PDF writer failed"));
    const QByteArray &pdf = d.bytes.data();
    errno = 0;
    if (written && (d.file.write(pdf) != pdf.size() || !d.file.commit())) {
        // Qt may leave the reason of a failed flush unnamed; the system named it.
        const int error = errno;
        Failed(error ? QString::fromLocal8Bit(std::strerror(error)) : d.file.errorString());
        written = false;
    }
    if (!written) d.file.cancelWriting();
    g_doc.reset();
    return written ? 0 : UIE_FILE;
}
