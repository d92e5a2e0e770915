// Uses the installed headers and library: logs through Mardel and checks
// that the public headers compile in a program of its own.
#include <cstdio>
#include <cstring>

#include "Mardel/Log.h"
#include "Mardel/Md5.h"

int main() {
    Halvex::Utils::CMd5 md5;
    md5.update("abc", 3);
    char hex[33];
    md5.hex(hex);
    if (strcmp(hex, "900150983cd24fb0d6963f7d28e17f72") != 0) {
        fprintf(stderr, "md5 mismatch: %s\n", hex);
        return 1;
    }
    printf("consumer ok (print level %d)\n", Halvex::Mardel::getPrintLogLevel());
    return 0;
}
