/* Linked into every Windows program of the project (tools, examples): the
   standard streams carry bytes, as on Linux. The C runtime opens them in text
   mode, which would turn "\n" into "\r\n" in a body written to stdout. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

__attribute__((constructor)) static void corvio_binary_stdio(void) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
