// The reference host against modules that are missing, broken or failing.
#include <fstream>

#include "tests/png_test_files.h"
#include "tests/test_support.h"

namespace {

std::string module(const char* name) {
    return std::string(BROKEN_MODULE_DIR) + "/" + name + ".so";
}

TEST(ModuleLoading, AMissingFileIsAClearError) {
    std::string error;
    EXPECT_EQ(refhost::Module::load("/no/such/module.so", error), nullptr);
    EXPECT_NE(error.find("cannot load plug-in module /no/such/module.so"), std::string::npos) << error;
}

TEST(ModuleLoading, AFileThatIsNotASharedObjectIsRefused) {
    cwtest::TempDir dir;
    std::ofstream(dir.path("fake.so")) << "this is not a shared object\n";
    std::string error;
    EXPECT_EQ(refhost::Module::load(dir.path("fake.so"), error), nullptr);
    EXPECT_NE(error.find("cannot load"), std::string::npos) << error;
}

TEST(ModuleLoading, AModuleWithoutTheEntryPointIsRefused) {
    std::string error;
    EXPECT_EQ(refhost::Module::load(module("broken_no_entry"), error), nullptr);
    EXPECT_NE(error.find("has no EntryPointFunc"), std::string::npos) << error;
}

TEST(ModuleLoading, AFailingGlobalSetupStopsTheLifecycle) {
    std::string error;
    auto m = refhost::Module::load(module("broken_global_setup"), error);
    ASSERT_NE(m, nullptr) << error;
    refhost::Host host(m->entry());
    EXPECT_EQ(host.start(), PF_Err_OUT_OF_MEMORY);
    EXPECT_FALSE(host.hasGlobal());
    EXPECT_FALSE(host.hasSequence());
}

TEST(ModuleLoading, ARenderErrorComesBackWithItsMessage) {
    std::string error;
    auto m = refhost::Module::load(module("broken_render"), error);
    ASSERT_NE(m, nullptr) << error;
    refhost::Host host(m->entry());
    ASSERT_EQ(host.start(), PF_Err_NONE);
    refhost::World in = cwtest::solidWorld(3, 3, PF_Pixel{255, 1, 2, 3});
    refhost::World out = cwtest::solidWorld(3, 3, PF_Pixel{0, 0, 0, 0});
    EXPECT_EQ(host.render(in.def(), out.def()), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(host.returnMessage(), "could not render this frame");
}

TEST(ModuleLoading, TheBuiltModuleLoadsAndNamesItsExports) {
    refhost::Module& m = cwtest::plugin();
    EXPECT_NE(m.entry(), nullptr);
    EXPECT_NE(m.symbol("g_d"), nullptr);
    EXPECT_NE(m.symbol("font8x8"), nullptr);
    EXPECT_EQ(m.symbol("nr_ae_render"), nullptr) << "everything else is hidden";
    EXPECT_EQ(m.symbol("_Z12nr_ae_renderP9PF_InDataP10PF_OutDataPP11PF_ParamDefP11PF_LayerDef"), nullptr);
}

}  // namespace
