// The Windows DLL entry point. The library links no C runtime, so nothing has
// to be set up or torn down on process or thread attach: it accepts every call.
extern "C" int __stdcall heightmesh_dll_entry(void* /*module*/, unsigned long /*reason*/, void* /*reserved*/)
{
    return 1;
}
