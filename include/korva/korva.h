/* Korva: the public C interface, usable from C and C++.
 * Wide strings are UTF-16 (char16_t), zero-terminated; 8-bit strings are UTF-8.
 * Booleans are 32-bit: -1 for true, 0 for false. */
#ifndef KORVA_KORVA_H
#define KORVA_KORVA_H

#include "korva/config.h"
#include "korva/udf.h"
#include "korva/aspi.h"
#include "korva/volume.h"
#include "korva/files.h"
#include "korva/check.h"

#endif
