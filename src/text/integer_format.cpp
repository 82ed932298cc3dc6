#include "text/fixed_text.h"
