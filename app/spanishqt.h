#pragma once

/// Makes Qt's own texts (file dialogs, their questions, standard buttons) Spanish, like the
/// rest of the program, from the system's Qt translations. Needs an application object; false
/// when the translations are not installed (Qt's English texts stay).
bool installSpanishQtTexts();
