#include "handle_transport.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {
constexpr int kMagic = 0x47424652; /* 'GBFR' */
constexpr int kHeaderInts = 8;
constexpr int kMaxInts = 64;
constexpr int kMaxFds = 4;
}  // namespace

int SendBufferHandle(int iSocket, const native_handle_t *psHandle, const BufferDescription &sDescription) {
    if (psHandle->numFds > kMaxFds || psHandle->numInts > kMaxInts - kHeaderInts) return -EINVAL;
    std::vector<int> aiData = {kMagic,
                               sDescription.iWidth,
                               sDescription.iHeight,
                               sDescription.iStride,
                               sDescription.iFormat,
                               sDescription.iUsage,
                               psHandle->numFds,
                               psHandle->numInts};
    aiData.insert(aiData.end(), psHandle->data + psHandle->numFds,
                  psHandle->data + psHandle->numFds + psHandle->numInts);

    struct iovec sIov = {aiData.data(), aiData.size() * sizeof(int)};
    char acControl[CMSG_SPACE(sizeof(int) * kMaxFds)];
    memset(acControl, 0, sizeof(acControl));
    struct msghdr sMsg = {};
    sMsg.msg_iov = &sIov;
    sMsg.msg_iovlen = 1;
    if (psHandle->numFds > 0) {
        sMsg.msg_control = acControl;
        sMsg.msg_controllen = CMSG_SPACE(sizeof(int) * (size_t)psHandle->numFds);
        struct cmsghdr *psCmsg = CMSG_FIRSTHDR(&sMsg);
        psCmsg->cmsg_level = SOL_SOCKET;
        psCmsg->cmsg_type = SCM_RIGHTS;
        psCmsg->cmsg_len = CMSG_LEN(sizeof(int) * (size_t)psHandle->numFds);
        memcpy(CMSG_DATA(psCmsg), psHandle->data, sizeof(int) * (size_t)psHandle->numFds);
    }
    return sendmsg(iSocket, &sMsg, 0) < 0 ? -errno : 0;
}

native_handle_t *ReceiveBufferHandle(int iSocket, BufferDescription *psDescription) {
    int aiData[kMaxInts];
    struct iovec sIov = {aiData, sizeof(aiData)};
    char acControl[CMSG_SPACE(sizeof(int) * kMaxFds)];
    struct msghdr sMsg = {};
    sMsg.msg_iov = &sIov;
    sMsg.msg_iovlen = 1;
    sMsg.msg_control = acControl;
    sMsg.msg_controllen = sizeof(acControl);
    ssize_t iLen = recvmsg(iSocket, &sMsg, MSG_CMSG_CLOEXEC);

    std::vector<int> aiFds;
    for (struct cmsghdr *ps = CMSG_FIRSTHDR(&sMsg); ps != nullptr; ps = CMSG_NXTHDR(&sMsg, ps)) {
        if (ps->cmsg_level != SOL_SOCKET || ps->cmsg_type != SCM_RIGHTS) continue;
        size_t uCount = (ps->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const int *piFds = reinterpret_cast<const int *>(CMSG_DATA(ps));
        aiFds.insert(aiFds.end(), piFds, piFds + uCount);
    }
    auto fnFail = [&]() -> native_handle_t * {
        for (int iFd : aiFds) close(iFd);
        return nullptr;
    };
    if (iLen < (ssize_t)(kHeaderInts * sizeof(int)) || aiData[0] != kMagic) return fnFail();
    int iNumFds = aiData[6], iNumInts = aiData[7];
    if (iNumFds != (int)aiFds.size() || iNumInts < 0 || iLen != (ssize_t)((kHeaderInts + iNumInts) * sizeof(int)))
        return fnFail();

    /* As GraphicBuffer::unflatten: a fresh handle, the new descriptors, the identical ints. */
    native_handle_t *psHandle = native_handle_create(iNumFds, iNumInts);
    if (psHandle == nullptr) return fnFail();
    for (int i = 0; i < iNumFds; i++) psHandle->data[i] = aiFds[(size_t)i];
    memcpy(psHandle->data + iNumFds, aiData + kHeaderInts, sizeof(int) * (size_t)iNumInts);
    *psDescription = {aiData[1], aiData[2], aiData[3], aiData[4], aiData[5]};
    return psHandle;
}
