// Parameter file: the third memory target of send and get.
#pragma once

void SendParaToFile();
int ReadParaFromFile();
