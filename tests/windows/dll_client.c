// SPDX-License-Identifier: MIT
/* Loads the DLL as a C application does and makes a few calls. Exit status
 * 0 when every call answered as documented. */
#include <stdio.h>
#include <vrelay/vrelay.h>

static int32_t VR_CDECL OnPacket(void* user_data, PACKET_TYPE type, void* data, int32_t length) {
    (void)user_data, (void)type, (void)data, (void)length;
    return VR_SUCCESS;
}

static int32_t __stdcall OnPacketPascal(void* user_data, PACKET_TYPE type, void* data,
                                        int32_t length) {
    (void)user_data, (void)type, (void)data, (void)length;
    return VR_SUCCESS;
}

int HeaderCompilesAsCxx(void);

int main(void) {
    vrCallBack callback = OnPacket;
    vrPascalCallBack pascal = OnPacketPascal;
    vr_result(__cdecl * create)(void) = vrCreateConnection;
    const vr_handle connection = create();
    int failures = 0;
    failures += connection < 1000;
    failures += vrSetCallBack(connection, callback) != VR_SUCCESS;
    failures += vrSetPascalCallBack(connection, pascal) != VR_SUCCESS;
    failures += vrRenderSpeech(connection, "not open") != VR_SEND_FAILED;
    failures += vrDestroyConnection(connection) != VR_SUCCESS;
    failures += vrSetUserData(connection, NULL) != VR_BAD_HANDLE;
    failures += vrSampleToUlaw(0) != 0xFF;
    failures += HeaderCompilesAsCxx() != 1;
    if (failures != 0) {
        fprintf(stderr, "%d calls answered unexpectedly\n", failures);
    }
    return failures == 0 ? 0 : 1;
}
