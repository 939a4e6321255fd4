// Fuzzer-chosen bytes as the reply to each reader, handed out in
// fuzzer-chosen fragments. Beyond the sanitizers, the fragments must not
// change what a caller sees: the same reply read whole must read the same.
#include "support/memory_reply.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;   // the readers' diagnostics
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    ReaderInput input;
    if (!parse_reader_input(data, size, &input)) return 0;
    const std::string cut = read_from_memory(input.kind, input.reply, input.cuts, input.encrypted);
    const std::string whole = read_from_memory(input.kind, input.reply, {}, input.encrypted);
    if (cut != whole) {
        fprintf(stderr, "%s reads differently in fragments:\n cut:   %s\n whole: %s\n",
                reader_name(input.kind), cut.c_str(), whole.c_str());
        abort();
    }
    return 0;
}
