// The live views while a replay borrows them.
#pragma once

// What the views show now, kept; the history and displays are the replay's
// from here on, and the parameter sub-panels are hidden.
void KeepLiveViews();
// What KeepLiveViews kept, shown again.
void PutBackLiveViews();
// What could start an exchange with the sensor, or a recording, dimmed (1)
// or back (0).
void DimForReplay(int dimmed);
