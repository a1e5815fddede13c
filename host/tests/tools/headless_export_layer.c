/* A Vulkan layer of the tests only, that lets gamescope's headless backend run on lavapipe (Mesa's
 * Vulkan on the CPU) on a machine with no GPU and no /dev/udmabuf.
 *
 * gamescope allocates its output images, and the textures it makes of its clients' shared-memory
 * buffers, exportable as DMA-BUF (VkExportMemoryAllocateInfo) and asks for their fd (vkGetMemoryFdKHR).
 * lavapipe makes DMA-BUFs only through /dev/udmabuf: without it vkAllocateMemory fails and gamescope
 * stops. The headless backend hands those buffers to no one, so this layer drops the DMA-BUF export
 * request from the allocation and answers vkGetMemoryFdKHR for that memory with an fd that stands for
 * the DMA-BUF. gamescope only polls it, as a DMA-BUF is polled for the end of the GPU's writes, before
 * it takes a client's commit: so the fd is an eventfd that is always readable. (A memfd of the
 * allocation's size cannot be polled: epoll_ctl refuses it with EPERM, the commit never ends, nothing
 * is composited and XWayland waits for its frame callbacks forever.) Every other call goes to the next
 * layer untouched.
 *
 * An explicit layer, enabled by environment only (headless_export_layer.sh builds it into DIR with its
 * manifest):  VK_LAYER_PATH=DIR VK_INSTANCE_LAYERS=VK_LAYER_BRIDGE_headless_export
 * Not for a program whose DMA-BUFs another process reads: they would stay empty. */
#define _GNU_SOURCE
#include <vulkan/vk_layer.h>
#include <vulkan/vulkan.h>

#include <pthread.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>

#define EXPORT __attribute__((visibility("default")))
#define MAX_CHAIN 8 /* structures before the export request in one vkAllocateMemory chain */

/* Room for a copy of one structure of that chain (the largest known is 32 bytes). */
typedef union {
    max_align_t align;
    unsigned char bytes[64];
} chain_node;

struct instance {
    void *key; /* the loader's dispatch table: the same for the instance and its physical devices */
    VkInstance handle;
    PFN_vkGetInstanceProcAddr next_proc;
    struct instance *next;
};

struct device {
    void *key;
    PFN_vkGetDeviceProcAddr next_proc;
    PFN_vkAllocateMemory allocate_memory;
    PFN_vkFreeMemory free_memory;
    PFN_vkGetMemoryFdKHR get_memory_fd; /* NULL unless the device has VK_KHR_external_memory_fd */
    PFN_vkDestroyDevice destroy_device;
    struct device *next;
};

/* A memory allocated without the DMA-BUF export that its caller asked for. */
struct memory {
    VkDevice device;
    VkDeviceMemory handle;
    struct memory *next;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct instance *instances;
static struct device *devices;
static struct memory *memories;

static void *dispatch_key(const void *handle) {
    return *(void *const *)handle;
}

static struct instance *find_instance(const void *handle) {
    pthread_mutex_lock(&lock);
    struct instance *found = instances;
    while (found && found->key != dispatch_key(handle))
        found = found->next;
    pthread_mutex_unlock(&lock);
    return found;
}

static struct device *find_device(VkDevice handle) {
    pthread_mutex_lock(&lock);
    struct device *found = devices;
    while (found && found->key != dispatch_key(handle))
        found = found->next;
    pthread_mutex_unlock(&lock);
    return found;
}

static void forget_memory(VkDevice device, VkDeviceMemory handle) {
    pthread_mutex_lock(&lock);
    for (struct memory **link = &memories; *link; link = &(*link)->next) {
        if ((*link)->device == device && (*link)->handle == handle) {
            struct memory *gone = *link;
            *link = gone->next;
            free(gone);
            break;
        }
    }
    pthread_mutex_unlock(&lock);
}

static bool export_dropped(VkDevice device, VkDeviceMemory handle) {
    bool found = false;
    pthread_mutex_lock(&lock);
    for (struct memory *m = memories; m && !found; m = m->next)
        found = m->device == device && m->handle == handle;
    pthread_mutex_unlock(&lock);
    return found;
}

/* The size of the structures that come with a VkMemoryAllocateInfo, or 0 for any other. */
static size_t chain_struct_size(VkStructureType type) {
    switch (type) {
    case VK_STRUCTURE_TYPE_MEMORY_DEDICATED_ALLOCATE_INFO: return sizeof(VkMemoryDedicatedAllocateInfo);
    case VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_FLAGS_INFO: return sizeof(VkMemoryAllocateFlagsInfo);
    case VK_STRUCTURE_TYPE_MEMORY_PRIORITY_ALLOCATE_INFO_EXT: return sizeof(VkMemoryPriorityAllocateInfoEXT);
    case VK_STRUCTURE_TYPE_MEMORY_OPAQUE_CAPTURE_ADDRESS_ALLOCATE_INFO:
        return sizeof(VkMemoryOpaqueCaptureAddressAllocateInfo);
    case VK_STRUCTURE_TYPE_IMPORT_MEMORY_FD_INFO_KHR: return sizeof(VkImportMemoryFdInfoKHR);
    case VK_STRUCTURE_TYPE_IMPORT_MEMORY_HOST_POINTER_INFO_EXT: return sizeof(VkImportMemoryHostPointerInfoEXT);
    default: return 0;
    }
}

/* Makes *copy's chain that of the caller less its DMA-BUF export request, with copies in nodes of the
 * structures before it (the caller's own are never written). False when it has no such request, or
 * when a structure before it is of a kind this layer does not know: the caller's chain is then used. */
static bool strip_dmabuf_export(VkMemoryAllocateInfo *copy, chain_node nodes[MAX_CHAIN]) {
    VkBaseOutStructure *last = (VkBaseOutStructure *)copy;
    for (int count = 0; last->pNext; count++) {
        const VkBaseInStructure *s = (const VkBaseInStructure *)last->pNext;
        if (s->sType == VK_STRUCTURE_TYPE_EXPORT_MEMORY_ALLOCATE_INFO &&
            (((const VkExportMemoryAllocateInfo *)s)->handleTypes & VK_EXTERNAL_MEMORY_HANDLE_TYPE_DMA_BUF_BIT_EXT)) {
            last->pNext = (VkBaseOutStructure *)s->pNext;
            return true;
        }
        size_t size = chain_struct_size(s->sType);
        if (count == MAX_CHAIN || size == 0 || size > sizeof(chain_node))
            return false;
        memcpy(nodes[count].bytes, s, size);
        last->pNext = (VkBaseOutStructure *)&nodes[count];
        last = last->pNext;
    }
    return false;
}

static VKAPI_ATTR VkResult VKAPI_CALL AllocateMemory(VkDevice device, const VkMemoryAllocateInfo *info,
                                                     const VkAllocationCallbacks *allocator, VkDeviceMemory *memory) {
    struct device *d = find_device(device);
    VkMemoryAllocateInfo copy = *info;
    chain_node nodes[MAX_CHAIN];
    if (!strip_dmabuf_export(&copy, nodes))
        return d->allocate_memory(device, info, allocator, memory);
    VkResult result = d->allocate_memory(device, &copy, allocator, memory);
    struct memory *m = result == VK_SUCCESS ? malloc(sizeof *m) : NULL;
    if (m) {
        *m = (struct memory){device, *memory, NULL};
        pthread_mutex_lock(&lock);
        m->next = memories;
        memories = m;
        pthread_mutex_unlock(&lock);
    } else if (result == VK_SUCCESS) {
        d->free_memory(device, *memory, allocator);
        result = VK_ERROR_OUT_OF_HOST_MEMORY;
    }
    return result;
}

static VKAPI_ATTR void VKAPI_CALL FreeMemory(VkDevice device, VkDeviceMemory memory,
                                             const VkAllocationCallbacks *allocator) {
    forget_memory(device, memory);
    find_device(device)->free_memory(device, memory, allocator);
}

static VKAPI_ATTR VkResult VKAPI_CALL GetMemoryFdKHR(VkDevice device, const VkMemoryGetFdInfoKHR *info, int *fd) {
    if (info->handleType != VK_EXTERNAL_MEMORY_HANDLE_TYPE_DMA_BUF_BIT_EXT || !export_dropped(device, info->memory))
        return find_device(device)->get_memory_fd(device, info, fd);
    *fd = eventfd(1, EFD_CLOEXEC); /* a counter above 0: readable until read */
    return *fd < 0 ? VK_ERROR_TOO_MANY_OBJECTS : VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL DestroyDevice(VkDevice device, const VkAllocationCallbacks *allocator) {
    struct device *d = NULL;
    pthread_mutex_lock(&lock);
    for (struct memory **link = &memories; *link;) {
        struct memory *m = *link;
        if (m->device == device) {
            *link = m->next;
            free(m);
        } else {
            link = &m->next;
        }
    }
    for (struct device **link = &devices; *link; link = &(*link)->next) {
        if ((*link)->key == dispatch_key(device)) {
            d = *link;
            *link = d->next;
            break;
        }
    }
    pthread_mutex_unlock(&lock);
    if (d) {
        d->destroy_device(device, allocator);
        free(d);
    }
}

static PFN_vkVoidFunction intercepted_device_function(const char *name);

static VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL GetDeviceProcAddr(VkDevice device, const char *name) {
    struct device *d = find_device(device);
    if (!d)
        return NULL;
    PFN_vkVoidFunction next = d->next_proc(device, name);
    PFN_vkVoidFunction own = intercepted_device_function(name);
    return own && next ? own : next; /* only what the device has */
}

static VKAPI_ATTR VkResult VKAPI_CALL CreateDevice(VkPhysicalDevice physical, const VkDeviceCreateInfo *info,
                                                   const VkAllocationCallbacks *allocator, VkDevice *device) {
    VkLayerDeviceCreateInfo *link = (VkLayerDeviceCreateInfo *)info->pNext;
    while (link && !(link->sType == VK_STRUCTURE_TYPE_LOADER_DEVICE_CREATE_INFO && link->function == VK_LAYER_LINK_INFO))
        link = (VkLayerDeviceCreateInfo *)link->pNext;
    struct instance *instance = find_instance(physical);
    if (!link || !instance)
        return VK_ERROR_INITIALIZATION_FAILED;
    PFN_vkGetInstanceProcAddr next_instance_proc = link->u.pLayerInfo->pfnNextGetInstanceProcAddr;
    PFN_vkGetDeviceProcAddr next_proc = link->u.pLayerInfo->pfnNextGetDeviceProcAddr;
    link->u.pLayerInfo = link->u.pLayerInfo->pNext; /* the next layer's own link */
    PFN_vkCreateDevice create = (PFN_vkCreateDevice)next_instance_proc(instance->handle, "vkCreateDevice");
    struct device *d = calloc(1, sizeof *d);
    if (!d)
        return VK_ERROR_OUT_OF_HOST_MEMORY;
    VkResult result = create(physical, info, allocator, device);
    if (result != VK_SUCCESS) {
        free(d);
        return result;
    }
    d->key = dispatch_key(*device);
    d->next_proc = next_proc;
    d->allocate_memory = (PFN_vkAllocateMemory)next_proc(*device, "vkAllocateMemory");
    d->free_memory = (PFN_vkFreeMemory)next_proc(*device, "vkFreeMemory");
    d->get_memory_fd = (PFN_vkGetMemoryFdKHR)next_proc(*device, "vkGetMemoryFdKHR");
    d->destroy_device = (PFN_vkDestroyDevice)next_proc(*device, "vkDestroyDevice");
    pthread_mutex_lock(&lock);
    d->next = devices;
    devices = d;
    pthread_mutex_unlock(&lock);
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL CreateInstance(const VkInstanceCreateInfo *info,
                                                     const VkAllocationCallbacks *allocator, VkInstance *handle) {
    VkLayerInstanceCreateInfo *link = (VkLayerInstanceCreateInfo *)info->pNext;
    while (link && !(link->sType == VK_STRUCTURE_TYPE_LOADER_INSTANCE_CREATE_INFO && link->function == VK_LAYER_LINK_INFO))
        link = (VkLayerInstanceCreateInfo *)link->pNext;
    if (!link)
        return VK_ERROR_INITIALIZATION_FAILED;
    PFN_vkGetInstanceProcAddr next_proc = link->u.pLayerInfo->pfnNextGetInstanceProcAddr;
    link->u.pLayerInfo = link->u.pLayerInfo->pNext;
    PFN_vkCreateInstance create = (PFN_vkCreateInstance)next_proc(VK_NULL_HANDLE, "vkCreateInstance");
    struct instance *instance = calloc(1, sizeof *instance);
    if (!instance)
        return VK_ERROR_OUT_OF_HOST_MEMORY;
    VkResult result = create(info, allocator, handle);
    if (result != VK_SUCCESS) {
        free(instance);
        return result;
    }
    *instance = (struct instance){dispatch_key(*handle), *handle, next_proc, NULL};
    pthread_mutex_lock(&lock);
    instance->next = instances;
    instances = instance;
    pthread_mutex_unlock(&lock);
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL DestroyInstance(VkInstance handle, const VkAllocationCallbacks *allocator) {
    struct instance *instance = NULL;
    pthread_mutex_lock(&lock);
    for (struct instance **link = &instances; *link; link = &(*link)->next) {
        if ((*link)->key == dispatch_key(handle)) {
            instance = *link;
            *link = instance->next;
            break;
        }
    }
    pthread_mutex_unlock(&lock);
    if (instance) {
        ((PFN_vkDestroyInstance)instance->next_proc(handle, "vkDestroyInstance"))(handle, allocator);
        free(instance);
    }
}

static PFN_vkVoidFunction intercepted_device_function(const char *name) {
    static const struct {
        const char *name;
        PFN_vkVoidFunction function;
    } table[] = {
        {"vkGetDeviceProcAddr", (PFN_vkVoidFunction)GetDeviceProcAddr},
        {"vkAllocateMemory", (PFN_vkVoidFunction)AllocateMemory},
        {"vkFreeMemory", (PFN_vkVoidFunction)FreeMemory},
        {"vkGetMemoryFdKHR", (PFN_vkVoidFunction)GetMemoryFdKHR},
        {"vkDestroyDevice", (PFN_vkVoidFunction)DestroyDevice},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; i++)
        if (strcmp(name, table[i].name) == 0)
            return table[i].function;
    return NULL;
}

static VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL GetInstanceProcAddr(VkInstance handle, const char *name) {
    if (strcmp(name, "vkGetInstanceProcAddr") == 0)
        return (PFN_vkVoidFunction)GetInstanceProcAddr;
    if (strcmp(name, "vkCreateInstance") == 0)
        return (PFN_vkVoidFunction)CreateInstance;
    if (strcmp(name, "vkDestroyInstance") == 0)
        return (PFN_vkVoidFunction)DestroyInstance;
    if (strcmp(name, "vkCreateDevice") == 0)
        return (PFN_vkVoidFunction)CreateDevice;
    struct instance *instance = handle ? find_instance(handle) : NULL;
    if (!instance)
        return NULL;
    PFN_vkVoidFunction next = instance->next_proc(handle, name);
    PFN_vkVoidFunction own = intercepted_device_function(name);
    return own && next ? own : next;
}

EXPORT VKAPI_ATTR VkResult VKAPI_CALL vkNegotiateLoaderLayerInterfaceVersion(VkNegotiateLayerInterface *interface) {
    if (interface->loaderLayerInterfaceVersion < 2)
        return VK_ERROR_INITIALIZATION_FAILED;
    interface->loaderLayerInterfaceVersion = 2;
    interface->pfnGetInstanceProcAddr = GetInstanceProcAddr;
    interface->pfnGetDeviceProcAddr = GetDeviceProcAddr;
    interface->pfnGetPhysicalDeviceProcAddr = NULL;
    return VK_SUCCESS;
}
