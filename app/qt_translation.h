// Qt's own texts (standard buttons, the folder chooser) in Korean, like the
// program's own, whatever the user's locale.
#pragma once

class QCoreApplication;

// Installs Qt's Korean translation (qt6-translations-l10n) into `app`.
// False when it is not installed; Qt's English texts then stay.
bool InstallKoreanQtTranslation(QCoreApplication& app);
