// Branding: band, logo, company lines, software name and version.
#pragma once

extern int textIDsoft, textIDver, textIDGmbH, textIDtel, textIDinfo;

void ShowLogo(int brand);
void ShowInfoText(int textID, int backgroundColour, int textColour, const char *text, int left,
                  int top, int pointSize);
