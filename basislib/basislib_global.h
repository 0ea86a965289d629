#pragma once

#include <QtCore/qglobal.h>

#if defined(BASISLIB_LIBRARY)
#define BASISLIB_EXPORT Q_DECL_EXPORT
#else
#define BASISLIB_EXPORT Q_DECL_IMPORT
#endif
