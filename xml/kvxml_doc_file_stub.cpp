// File operations outside Windows: there is no file handle to work with, so every one fails.
#include "xml/kvxml_doc.h"

int KVXML_doc::load_from_file(const wchar_t*) { return 0; }
int KVXML_doc::load_from_handle(void*) { return 0; }
int KVXML_doc::save_to_file(const wchar_t*) { return 0; }
int KVXML_doc::save_to_handle(void*) { return 0; }
