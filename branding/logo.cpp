#include "logo.h"

int textIDsoft, textIDver, textIDGmbH, textIDtel, textIDinfo;

// The brand head arrives with its own work; until then start-up's call is empty.
void ShowLogo(int) {}
void ShowInfoText(int, int, int, const char *, int, int, int) {}
