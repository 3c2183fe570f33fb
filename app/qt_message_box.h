// Shows the program's messages (platform::AfxMessageBox) as message boxes
// captioned with the application's name.
#pragma once

void InstallQtMessageBoxes();
