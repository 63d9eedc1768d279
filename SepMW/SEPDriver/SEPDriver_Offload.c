/* The offload decision, the list of contexts that hash on the host, and the DMA descriptor. */
#include "SEPDriver_Offload.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "../Common/SEP_LE.h"
#include "../FVOS/FVOS_OS/FVOS_LINUX/src/FVOS.h"
#include "SEPDriver.h"

#define SEP_OPCODE_TABLE_SIZE 337u
#define SEP_LOAD_PRIORITY_ITEM 1000u
#define SEP_LOAD_ITEM 600u
#define SEP_LOAD_THRESHOLD 600u
#define SEP_LOAD_THRESHOLD_OPCODE_5 300u
#define SEP_QUEUE_MAX_COUNT 9u

typedef struct IaQueueNode {
    struct IaQueueNode *next;
    struct IaQueueNode *prev;
    void *context;
} IaQueueNode;

static IaQueueNode iaqueue_head = {&iaqueue_head, &iaqueue_head, NULL};
static pthread_mutex_t gSeqMutex = PTHREAD_MUTEX_INITIALIZER;

static const uint8_t g_InitOpcodes[SEP_OPCODE_TABLE_SIZE] = {[2] = 1, [16] = 1, [32] = 1, [96] = 1};
static const uint8_t g_FinishOpcodes[SEP_OPCODE_TABLE_SIZE] = {[4] = 1, [34] = 1};

static int IsInitOpcode(uint32_t opcode)
{
    return opcode < SEP_OPCODE_TABLE_SIZE && g_InitOpcodes[opcode];
}

static int IsFinishOpcode(uint32_t opcode)
{
    return opcode < SEP_OPCODE_TABLE_SIZE && g_FinishOpcodes[opcode];
}

/* Caller holds gSeqMutex. */
static IaQueueNode *FindNode(void *context)
{
    for (IaQueueNode *n = iaqueue_head.next; n != &iaqueue_head; n = n->next)
        if (n->context == context)
            return n;
    return NULL;
}

static void Unlink(IaQueueNode *node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
    free(node);
}

/* Sum of the queue's items: 1000 for type 2, 600 for any other; -1 when unreadable. */
static int64_t QueueLoad(void)
{
    uint8_t queue[FVOS_QUEUE_STATUS_SIZE];
    if (FVOS_QueueStatusGet(queue) != 0)
        return -1;
    uint32_t count = SEP_GetLE32(queue);
    if (count > SEP_QUEUE_MAX_COUNT)
        return -1;
    int64_t load = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t type = SEP_GetLE32(queue + FVOS_QUEUE_ITEMS_OFFSET + i * FVOS_QUEUE_ITEM_SIZE);
        load += type == 2 ? SEP_LOAD_PRIORITY_ITEM : SEP_LOAD_ITEM;
    }
    return load;
}

int32_t SEPDriver_OffloadDecisionIA(uint32_t opcode, uint32_t length, void *context)
{
    (void)length;
    if (context != NULL && !IsInitOpcode(opcode)) {
        /* A hash stays where it started. */
        pthread_mutex_lock(&gSeqMutex);
        IaQueueNode *node = FindNode(context);
        if (node != NULL && IsFinishOpcode(opcode))
            Unlink(node);
        pthread_mutex_unlock(&gSeqMutex);
        return node != NULL ? 1 : 0;
    }

    int64_t load = QueueLoad();
    if (load < 0)
        return -1;
    uint32_t threshold = opcode == 5 ? SEP_LOAD_THRESHOLD_OPCODE_5 : SEP_LOAD_THRESHOLD;
    if (load <= threshold)
        return 0;
    if (IsInitOpcode(opcode) && context != NULL) {
        /* Unrecorded, the context's host state would later be sent to the SEP. */
        IaQueueNode *node = (IaQueueNode *)malloc(sizeof *node);
        if (node == NULL)
            return -1;
        node->context = context;
        pthread_mutex_lock(&gSeqMutex);
        node->prev = iaqueue_head.prev;
        node->next = &iaqueue_head;
        iaqueue_head.prev->next = node;
        iaqueue_head.prev = node;
        pthread_mutex_unlock(&gSeqMutex);
    }
    return 1;
}

int SEPDriver_OffloadedIACtx(void *context)
{
    if (context == NULL)
        return 0;
    pthread_mutex_lock(&gSeqMutex);
    int found = FindNode(context) != NULL;
    pthread_mutex_unlock(&gSeqMutex);
    return found;
}

int SEPDriver_OffloadedIACtx_Clean(void *context)
{
    if (context == NULL)
        return 0;
    pthread_mutex_lock(&gSeqMutex);
    IaQueueNode *node = FindNode(context);
    if (node != NULL)
        Unlink(node);
    pthread_mutex_unlock(&gSeqMutex);
    return node != NULL;
}

uint32_t SEPDriver_FastCall_PrepareSymDMAHdr(uint8_t *descriptor, const void *data, uint32_t length,
                                             uint32_t blockSize, uint32_t *out1, uint32_t *out2,
                                             uint32_t *out3, uint32_t *out4, uint32_t *out5)
{
    if (descriptor == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    if (blockSize == 0)
        return SEP_DRIVER_ERR_PARAM_LENGTH;
    uint32_t *outputs[SEP_DMA_OUTPUT_WORDS] = {out1, out2, out3, out4, out5};
    for (int i = 0; i < SEP_DMA_OUTPUT_WORDS; i++)
        if (outputs[i] != NULL)
            *outputs[i] = 0;
    memset(descriptor, 0, SEP_DMA_DESCRIPTOR_SIZE);
    SEP_PutAddr(descriptor, data);
    SEP_PutLE32(descriptor + 8, length - length % blockSize);
    SEP_PutLE32(descriptor + 24, blockSize);
    return 0;
}
