// The exported class holds no data and does nothing; it is part of the
// plug-in's exported surface only.
#include "httpmedia/httpmedia.h"

CInputMedia::CInputMedia() = default;

CInputMedia& CInputMedia::operator=(const CInputMedia&) { return *this; }
