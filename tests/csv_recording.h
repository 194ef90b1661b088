// The head of a CSV recording as the recorder writes it, typed out apart
// from the recorder: files the tests write stand for stored files.
#pragma once

inline constexpr char kCsvRecordingHead[] =
    "sample,time,A [pixel],B [pixel],measured value [units],measured value [\xC2\xB5m],"
    "edges A,edges B,lower limit [\xC2\xB5m],upper limit [\xC2\xB5m],setpoint "
    "[\xC2\xB5m],verdict,scale [\xC2\xB5m/unit],setpoint [units],measured value exact "
    "[\xC2\xB5m]\r\n";
