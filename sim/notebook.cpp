// The simulated notebook's firmware, embedded controller and driver requests.
#include "notebook.h"

#include <stddef.h>

namespace {

// Byte-wise helpers: the driver build has no C runtime to lean on.
void Fill(void *destination, uint8_t value, uint32_t length)
{
    uint8_t *d = static_cast<uint8_t *>(destination);
    for (uint32_t i = 0; i < length; ++i)
        d[i] = value;
}

void Copy(void *destination, const void *source, uint32_t length)
{
    uint8_t *d = static_cast<uint8_t *>(destination);
    const uint8_t *s = static_cast<const uint8_t *>(source);
    for (uint32_t i = 0; i < length; ++i)
        d[i] = s[i];
}

bool Equal(const void *a, const void *b, uint32_t length)
{
    const uint8_t *x = static_cast<const uint8_t *>(a);
    const uint8_t *y = static_cast<const uint8_t *>(b);
    for (uint32_t i = 0; i < length; ++i)
        if (x[i] != y[i])
            return false;
    return true;
}

uint32_t Load16(const uint8_t *p) { return p[0] | (uint32_t)p[1] << 8; }

void Store16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void Store32(uint8_t *p, uint32_t v)
{
    Store16(p, v);
    Store16(p + 2, v >> 16);
}

// Register image offsets of the fields the firmware reads and writes.
enum : uint32_t {
    IMAGE_AX = 0,
    IMAGE_AH = 1,
    IMAGE_BX = 4,
    IMAGE_CX = 8,
    IMAGE_CL = 8,
    IMAGE_CH = 9,
    IMAGE_DX = 12,
    IMAGE_ESI = 16,
    IMAGE_SI = 16,
    IMAGE_EDI = 20,
};

// Answers a firmware request in place, as the system-management handler would. A call that
// does not reach the handler (wrong ax or port) leaves the image as it was.
void AnswerFirmware(const SimConfig *config, uint8_t *image)
{
    if (Load16(image + IMAGE_AX) != SIM_FW_CALL_AX)
        return;
    if (config->firmwarePort != 0 && Load16(image + IMAGE_DX) != config->firmwarePort)
        return;
    switch (Load16(image + IMAGE_BX)) {
    case SIM_FW_FUNCTION_SENSOR_INFO:
        image[IMAGE_AH] = (uint8_t)config->infoStatus;
        if (config->infoStatus == SIM_FW_STATUS_OK) {
            image[IMAGE_CL] = (uint8_t)config->infoCl;
            Store16(image + IMAGE_SI, config->presence);
        }
        return;
    case SIM_FW_FUNCTION_SENSOR_LIMITS: {
        uint32_t selector = image[IMAGE_CH];
        if ((selector & 1) || selector / 2 >= SIM_PHYSICAL_SENSORS) {
            image[IMAGE_AH] = SIM_FW_STATUS_UNSUPPORTED;
            return;
        }
        const SimSensorLimits *limits = &config->limits[selector / 2];
        image[IMAGE_AH] = (uint8_t)limits->status;
        if (limits->status == SIM_FW_STATUS_OK) {
            Store16(image + IMAGE_CX, limits->cx);
            Store32(image + IMAGE_ESI, limits->esi);
            Store32(image + IMAGE_EDI, limits->edi);
        }
        return;
    }
    default:
        image[IMAGE_AH] = SIM_FW_STATUS_UNSUPPORTED;
        return;
    }
}

// Latches a command written to the command byte and prepares its answer block.
void LatchCommand(SimNotebook *notebook, uint8_t commandByte, uint32_t nowMs)
{
    SimState *state = &notebook->state;
    const SimConfig *config = &notebook->config;
    uint8_t code = commandByte & 0x0F;
    state->pollsSinceCommand = 0;
    state->wrongEchoesLeft = config->wrongEchoReads;
    state->controller[SIM_EC_ANSWER_BLOCK] = (uint8_t)(SIM_EC_ECHO_BASE | code);
    if (code == SIM_EC_COMMAND_TEMPERATURES) {
        for (uint32_t i = 0; i < SIM_CONTROLLER_SENSORS; ++i)
            state->controller[SIM_EC_ANSWER_BLOCK + 1 + i] =
                SimTraceAt(&config->temperatures[i], nowMs);
    }
}

// Reads one controller register; answer-block byte 0 may be scripted to echo wrongly.
uint8_t ReadControllerRegister(SimNotebook *notebook, uint8_t index)
{
    SimState *state = &notebook->state;
    const SimConfig *config = &notebook->config;
    if (index == SIM_EC_ANSWER_BLOCK) {
        if (config->wrongEchoForever)
            return (uint8_t)config->wrongEchoByte;
        if (state->wrongEchoesLeft > 0) {
            --state->wrongEchoesLeft;
            return (uint8_t)config->wrongEchoByte;
        }
    }
    return state->controller[index];
}

// Answers a busy poll per the busy script.
uint8_t PollBusy(SimNotebook *notebook)
{
    SimState *state = &notebook->state;
    const SimConfig *config = &notebook->config;
    uint32_t poll = state->pollsSinceCommand;
    if (state->pollsSinceCommand < 0xFFFFFFFFu)
        ++state->pollsSinceCommand;
    if (poll < config->busyPatternLength && poll < 64)
        return (uint8_t)((config->busyPattern >> poll) & 1);
    return config->busyAfterPattern ? 1 : 0;
}

// Maps a control code to its request and the buffer sizes it needs; false if unknown.
bool Classify(uint32_t code, SimRequest *request, uint32_t *size)
{
    *size = SIM_REGISTER_IMAGE_SIZE;
    switch (code) {
    case SIM_IOCTL_READ_CONFIG_BYTE: *request = SIM_REQ_READ_CONFIG_BYTE; return true;
    case SIM_IOCTL_FIRMWARE_REQUEST: *request = SIM_REQ_FIRMWARE; return true;
    case SIM_IOCTL_READ_CONTROLLER_BYTE: *request = SIM_REQ_READ_CONTROLLER_BYTE; return true;
    case SIM_IOCTL_WRITE_CONTROLLER_BYTE: *request = SIM_REQ_WRITE_CONTROLLER_BYTE; return true;
    case SIM_IOCTL_CONTROLLER_BUSY: *request = SIM_REQ_CONTROLLER_BUSY; return true;
    case SIM_IOCTL_PROBE_THERMAL:
        *request = SIM_REQ_PROBE_THERMAL;
        *size = SIM_PROBE_BUFFER_SIZE;
        return true;
    default: return false;
    }
}

// Records a request in the log.
void Log(SimNotebook *notebook, uint32_t code, const uint8_t *input, uint32_t inputLength,
         uint32_t outputLength, uint32_t nowMs, uint32_t error, uint8_t output0)
{
    SimLog *log = &notebook->log;
    if (log->total < SIM_LOG_CAPACITY) {
        SimLogEntry *entry = &log->entries[log->total];
        Fill(entry, 0, sizeof *entry);
        entry->code = code;
        entry->timeMs = nowMs;
        entry->error = error;
        entry->inputLength = inputLength;
        entry->outputLength = outputLength;
        Copy(entry->input, input,
             inputLength < SIM_REGISTER_IMAGE_SIZE ? inputLength : SIM_REGISTER_IMAGE_SIZE);
        entry->output0 = output0;
    }
    if (log->total < 0xFFFFFFFFu)
        ++log->total;
}

// The fields that make a notebook what it is: everything but its temperatures.
struct IdentityField {
    uint32_t offset;
    uint32_t size;
};
#define KT_IDENTITY_FIELD(name) {offsetof(SimConfig, name), sizeof(SimConfig::name)}
const IdentityField kIdentityFields[] = {
    KT_IDENTITY_FIELD(firmwarePort),     KT_IDENTITY_FIELD(infoStatus),
    KT_IDENTITY_FIELD(infoCl),           KT_IDENTITY_FIELD(presence),
    KT_IDENTITY_FIELD(limits),           KT_IDENTITY_FIELD(busyPattern),
    KT_IDENTITY_FIELD(busyPatternLength), KT_IDENTITY_FIELD(busyAfterPattern),
    KT_IDENTITY_FIELD(wrongEchoReads),   KT_IDENTITY_FIELD(wrongEchoForever),
    KT_IDENTITY_FIELD(wrongEchoByte),    KT_IDENTITY_FIELD(configBytes),
    KT_IDENTITY_FIELD(probeSucceeds),    KT_IDENTITY_FIELD(failCount),
    KT_IDENTITY_FIELD(failError),
};
#undef KT_IDENTITY_FIELD

} // namespace

void SimEmptyConfig(SimConfig *config)
{
    Fill(config, 0, sizeof *config);
    config->infoStatus = SIM_FW_STATUS_UNSUPPORTED;
    config->wrongEchoByte = SIM_EC_ECHO_BASE | (SIM_EC_COMMAND_TEMPERATURES - 1);
    config->failError = SIM_ERROR_GEN_FAILURE;
}

void SimDefaultConfig(SimConfig *config)
{
    SimEmptyConfig(config);
    config->firmwarePort = 0x00B2;
    config->configBytes[0x7E] = 0xB2;
    config->configBytes[0x7F] = 0x00;
    config->probeSucceeds = 1;
    config->infoStatus = SIM_FW_STATUS_OK;
    config->infoCl = SIM_FW_INFO_AVAILABLE;
    config->presence = 0x0B; // sensors 0, 1 and 3
    SimSetLimits(config, 0, 85, 90, 95, 98);
    SimSetLimits(config, 1, 60, 65, 70, 75);
    SimSetLimits(config, 3, 70, 75, 85, 90);
    static const int temperatures[SIM_CONTROLLER_SENSORS] = {52, 41, 30, 47, 35, 33, 38};
    for (uint32_t i = 0; i < SIM_CONTROLLER_SENSORS; ++i)
        SimSetTemperature(config, (int)i, temperatures[i]);
}

void SimLoad(SimNotebook *notebook, const SimConfig *config)
{
    if (&notebook->config != config)
        Copy(&notebook->config, config, sizeof *config);
    Fill(&notebook->state, 0, sizeof notebook->state);
    for (uint32_t i = 0; i < SIM_REQ_COUNT; ++i)
        notebook->state.failLeft[i] = config->failCount[i];
    notebook->log.total = 0;
}

bool SimSameNotebook(const SimConfig *a, const SimConfig *b)
{
    const uint8_t *x = reinterpret_cast<const uint8_t *>(a);
    const uint8_t *y = reinterpret_cast<const uint8_t *>(b);
    for (const IdentityField &field : kIdentityFields)
        if (!Equal(x + field.offset, y + field.offset, field.size))
            return false;
    return true;
}

uint64_t SimNotebookId(const SimConfig *config)
{
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(config);
    uint64_t hash = 0xcbf29ce484222325ull; // FNV-1a, 64 bits
    for (const IdentityField &field : kIdentityFields)
        for (uint32_t i = 0; i < field.size; ++i)
            hash = (hash ^ bytes[field.offset + i]) * 0x100000001b3ull;
    return hash;
}

void SimSetLimits(SimConfig *config, int sensor, int warnNormal, int warnHigh, int critNormal,
                  int critHigh)
{
    if (sensor < 0 || sensor >= (int)SIM_PHYSICAL_SENSORS)
        return;
    SimSensorLimits *limits = &config->limits[sensor];
    limits->status = SIM_FW_STATUS_OK;
    // Nibble 1 bit 2 flags the warning pair in slot 1 (esi high half); nibble 2 bit 3 flags
    // the critical pair in slot 2 (di).
    limits->cx = 1u << 6 | 1u << 11;
    limits->esi = (uint32_t)(uint8_t)warnNormal << 16 | (uint32_t)(uint8_t)warnHigh << 24;
    limits->edi = (uint32_t)(uint8_t)critNormal | (uint32_t)(uint8_t)critHigh << 8;
}

void SimSetTemperature(SimConfig *config, int sensor, int temperature)
{
    if (sensor < 0 || sensor >= (int)SIM_CONTROLLER_SENSORS)
        return;
    SimTrace *trace = &config->temperatures[sensor];
    Fill(trace, 0, sizeof *trace);
    trace->length = 1;
    trace->points[0].temperature = temperature;
}

void SimSetBusyPolls(SimConfig *config, uint32_t polls)
{
    if (polls > 64)
        polls = 64;
    config->busyPattern = polls == 64 ? ~0ull : (1ull << polls) - 1;
    config->busyPatternLength = polls;
}

uint8_t SimTraceAt(const SimTrace *trace, uint32_t timeMs)
{
    uint32_t length = trace->length < SIM_TRACE_POINTS ? trace->length : SIM_TRACE_POINTS;
    if (length == 0)
        return 0;
    const SimTracePoint *p = trace->points;
    uint32_t end = p[length - 1].timeMs;
    if (trace->repeat && end > 0)
        timeMs %= end;
    int64_t t = p[length - 1].temperature;
    if (timeMs <= p[0].timeMs) {
        t = p[0].temperature;
    } else {
        for (uint32_t i = 0; i + 1 < length; ++i) {
            if (p[i].timeMs <= timeMs && timeMs < p[i + 1].timeMs) {
                int64_t span = (int64_t)p[i + 1].timeMs - p[i].timeMs;
                int64_t rise = (int64_t)p[i + 1].temperature - p[i].temperature;
                t = p[i].temperature + rise * ((int64_t)timeMs - p[i].timeMs) / span;
                break;
            }
        }
    }
    return (uint8_t)(t < 0 ? 0 : t > 255 ? 255 : t);
}

uint32_t SimDeviceControl(SimNotebook *notebook, uint32_t code, const void *input,
                          uint32_t inputLength, void *output, uint32_t outputLength,
                          uint32_t *returned, uint32_t nowMs)
{
    // Input and output may share one buffer, as with METHOD_BUFFERED: take a copy first.
    uint8_t in[SIM_REGISTER_IMAGE_SIZE] = {};
    uint32_t kept = inputLength < sizeof in ? inputLength : (uint32_t)sizeof in;
    if (input)
        Copy(in, input, kept);
    uint8_t *out = static_cast<uint8_t *>(output);
    *returned = 0;

    SimRequest request;
    uint32_t size;
    uint32_t error = 0;
    if (!Classify(code, &request, &size))
        error = SIM_ERROR_INVALID_FUNCTION;
    else if (!input || !output || inputLength < size || outputLength < size)
        error = SIM_ERROR_INVALID_PARAMETER;
    if (error) {
        Log(notebook, code, in, inputLength, outputLength, nowMs, error, 0);
        return error;
    }

    SimState *state = &notebook->state;
    ++state->requests[request];
    if (state->failLeft[request] > 0) {
        if (state->failLeft[request] != SIM_FAIL_ALWAYS)
            --state->failLeft[request];
        error = notebook->config.failError ? notebook->config.failError : SIM_ERROR_GEN_FAILURE;
        Log(notebook, code, in, inputLength, outputLength, nowMs, error, 0);
        return error;
    }

    switch (request) {
    case SIM_REQ_READ_CONFIG_BYTE:
        out[0] = notebook->config.configBytes[in[0]];
        *returned = 1;
        break;
    case SIM_REQ_FIRMWARE: {
        uint8_t image[SIM_REGISTER_IMAGE_SIZE];
        Copy(image, in, SIM_REGISTER_IMAGE_SIZE);
        AnswerFirmware(&notebook->config, image);
        Copy(out, image, SIM_REGISTER_IMAGE_SIZE);
        *returned = SIM_REGISTER_IMAGE_SIZE;
        break;
    }
    case SIM_REQ_READ_CONTROLLER_BYTE:
        out[0] = ReadControllerRegister(notebook, in[0]);
        *returned = 1;
        break;
    case SIM_REQ_WRITE_CONTROLLER_BYTE:
        state->controller[in[0]] = in[1];
        if (in[0] == SIM_EC_COMMAND)
            LatchCommand(notebook, in[1], nowMs);
        break;
    case SIM_REQ_CONTROLLER_BUSY:
        out[0] = PollBusy(notebook);
        *returned = 1;
        break;
    case SIM_REQ_PROBE_THERMAL:
        if (!notebook->config.probeSucceeds)
            error = SIM_ERROR_INVALID_FUNCTION;
        else
            *returned = SIM_PROBE_BUFFER_SIZE;
        break;
    default:
        break;
    }
    Log(notebook, code, in, inputLength, outputLength, nowMs, error, *returned ? out[0] : 0);
    return error;
}

void SimReadLog(const SimNotebook *notebook, uint32_t first, SimLogPage *page)
{
    Fill(page, 0, sizeof *page);
    uint32_t kept = notebook->log.total < SIM_LOG_CAPACITY ? notebook->log.total : SIM_LOG_CAPACITY;
    page->total = notebook->log.total;
    page->first = first;
    for (uint32_t i = first; i < kept && page->count < SIM_LOG_PAGE_ENTRIES; ++i)
        page->entries[page->count++] = notebook->log.entries[i];
}
