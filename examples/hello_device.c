// Hello, device: the application library on the loopback device, which sends back what it is sent.
#include <stdio.h>
#include <string.h>

#include "public/wdmusb_api.h"

static int failed(WdmusbCall call, uint32_t error) {
    const char* name = WdmusbErrorName(error);
    printf("failed: %s (%s, %u)\n", WdmusbErrorMessage(call, error), name ? name : "?", error);
    return 1;
}

int main(void) {
    const char message[] = "hello, device";
    char back[sizeof message] = "";
    uint32_t moved = 0;
    WdmusbDevice* device = NULL;
    uint32_t error = WdmusbOpen(0, &device);
    if (error != 0)
        return failed(WdmusbCallOpen, error);
    printf("opened %s\n", WdmusbDevicePath(device));
    WdmusbCall call = WdmusbCallWrite;
    error = WdmusbWrite(device, message, sizeof message, 1000, &moved);
    if (error == 0) {
        call = WdmusbCallRead;
        error = WdmusbRead(device, back, sizeof back, 1000, &moved);
    }
    WdmusbClose(device);
    if (error != 0)
        return failed(call, error);
    printf("sent and read back %u bytes: %s\n", moved, back);
    return strcmp(message, back) == 0 ? 0 : 1;
}
