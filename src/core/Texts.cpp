#include "core/Texts.h"
