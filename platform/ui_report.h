// A printed document of texts, tables and charts, drawn in vector form: an
// A4 PDF whose text can be selected and whose charts are paths, with no
// picture of the screen in it. The blocks go down the page in the order they
// are given; one that does not fit on what is left of a page starts the next.
// One document is written at a time. Texts are UTF-8.
#pragma once

// How a series of a chart is drawn.
enum { REPORT_LINE = 0, REPORT_DASHED = 1, REPORT_MARKS = 2 };

struct ReportSeries {
    const double *x, *y;
    int count;
    int rgb;  // 0xRRGGBB
    int style;
};
// A horizontal (or vertical) line across the whole chart, with its name at
// its end.
struct ReportLine {
    int vertical;
    double at;
    int rgb;
    int dashed;
    const char *label;
};
struct ReportChart {
    const char *title, *xLabel, *yLabel;
    double xMin, xMax, yMin, yMax;
    double heightPt;  // of the plot area
    const ReportSeries *series;
    int seriesCount;
    const ReportLine *lines;
    int lineCount;
    // Bars side by side: barCount bars, bar i from barEdges[i] to
    // barEdges[i + 1], barHeights[i] high; none when barCount is 0.
    const double *barEdges, *barHeights;
    int barCount;
};

// Starts the document for file. 0, or UIE_FILE when it cannot be written, or
// UIE_NOT_INITIALISED without the run-time. Each page's foot reads "page N
// of M" with M = pages (from a counting pass), or "page N" with pages 0.
// file nullptr: a counting pass, which writes nothing; ReportClose then
// leaves the count for ReportPages.
int ReportOpen(const char *file, const char *title, int pages = 0);
// The pages of the last document closed.
int ReportPages();
// A heading, and a paragraph (lines apart by '\n', each wrapped to the width).
int ReportHeading(const char *text);
int ReportParagraph(const char *text);
// A table of rows x columns cells, row by row, the first row its head;
// widths are the columns' shares of the page width (nullptr: equal).
int ReportTable(const char *const *cells, int rows, int columns, const double *widths);
// count charts side by side, as wide as the page.
int ReportCharts(const ReportChart *charts, int count);
// A new page unless points of height are still free on this one: what
// belongs together (a heading and two charts) stays on one page.
int ReportKeepTogether(double points);
// Ends the document and writes it: 0, or UIE_FILE when it could not be
// written whole; the file then is as it was before (none, or the old one).
int ReportClose();
// Why the last ReportOpen or ReportClose failed, in the system's words
// ("Permission denied", "No space left on device"); "" after a success.
const char *ReportFailure();
