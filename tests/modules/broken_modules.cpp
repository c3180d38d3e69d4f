// Deliberately broken plug-in modules for the reference host to load: one
// command fails, chosen at build time.
#include <cstdio>
#include <cstring>

#include "platform/ae_effect.h"

#if !defined(BROKEN_NO_ENTRY)
extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData* in_data,
                                                                         PF_OutData* out_data, PF_ParamDef**,
                                                                         PF_LayerDef*, void*) {
#if defined(BROKEN_GLOBAL_SETUP)
    if (cmd == PF_Cmd_GLOBAL_SETUP) return PF_Err_OUT_OF_MEMORY;
#endif
#if defined(BROKEN_RENDER)
    if (cmd == PF_Cmd_RENDER) {
        in_data->utils->ansi.sprintf(out_data->return_msg, "could not %s", "render this frame");
        out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
#endif
    (void)in_data;
    (void)out_data;
    (void)cmd;
    return PF_Err_NONE;
}
#else
extern "C" __attribute__((visibility("default"))) int NotTheEntryPoint() {
    return 0;
}
#endif
