// Loading job libraries, the resolver, the host abort and the frame lists.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <thread>
#include <vector>

#include "fake_job/fake_run.h"
#include "jobhost/jobhost.h"

namespace jobhost {
namespace {

using testing::ExpectJobError;
using testing::FakeCounter;
using testing::FakeRun;

std::string LoadErrorOf(const std::filesystem::path& path)
{
    try {
        JobLibrary::Open(path);
    } catch (const LoadError& error) {
        return error.what();
    }
    ADD_FAILURE() << "no LoadError for " << path;
    return {};
}

TEST(JobhostLibrary, LoadErrorsNameThePathAndWhatIsMissing)
{
    const std::filesystem::path missing = std::filesystem::temp_directory_path() / "jobhost-no-such-library.so";
    std::string text = LoadErrorOf(missing);
    EXPECT_NE(text.find(missing.string()), std::string::npos) << text;
    EXPECT_NE(text.find("no such file"), std::string::npos) << text;

    text = LoadErrorOf(FAKE_JOB_NO_ENTRY_PATH);
    EXPECT_NE(text.find(FAKE_JOB_NO_ENTRY_PATH), std::string::npos) << text;
    EXPECT_NE(text.find("'" HEIGHTMESH_EXPORT_JOB_ENTRY "'"), std::string::npos) << text;
    EXPECT_EQ(text.find(HEIGHTMESH_EXPORT_SETUP_EXTRA), std::string::npos) << "only what is missing: " << text;

    const std::filesystem::path notLibrary = std::filesystem::temp_directory_path() / "jobhost-not-a-library.so";
    std::ofstream(notLibrary) << "not an object file\n";
    text = LoadErrorOf(notLibrary);
    std::filesystem::remove(notLibrary);
    EXPECT_NE(text.find(notLibrary.string()), std::string::npos) << text;

    EXPECT_THROW(JobLibrary::Open(""), LoadError);
}

// A library cut short anywhere, or a file that is no shared object, is
// refused with one line before the dynamic loader maps it (where a cut
// segment would fault).
TEST(JobhostLibrary, TruncatedOrForeignFilesAreRefusedBeforeLoading)
{
    std::ifstream in(HEIGHTMESH_LIBRARY_PATH, std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(whole.size(), 8192u);
    const std::filesystem::path cut = std::filesystem::temp_directory_path() / "jobhost-truncated-library.so";
    const struct {
        std::size_t keep;
        const char* reason;
    } cases[] = {
        {4096, "truncated ELF shared object"},
        {whole.size() - 1, "truncated ELF shared object"},
        {40, "not an ELF file"},
        {0, "not an ELF file"},
    };
    for (const auto& c : cases) {
        {
            std::ofstream out(cut, std::ios::binary | std::ios::trunc);
            out.write(whole.data(), static_cast<std::streamsize>(c.keep));
        }
        const std::string text = LoadErrorOf(cut);
        EXPECT_NE(text.find(c.reason), std::string::npos) << c.keep << ": " << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
    std::filesystem::remove(cut);
}

TEST(JobhostLibrary, SameLibraryOpenedTwiceIsInitialisedOnceAndRuns)
{
    auto first = JobLibrary::Open(FAKE_JOB_PATH);
    const int32_t initialized = FakeCounter(FAKE_JOB_PATH, FAKE_JOB_INITIALIZE_CALLS);
    const int32_t armed = FakeCounter(FAKE_JOB_PATH, FAKE_JOB_SETUP_CALLS);
    EXPECT_GE(initialized, 1);
    EXPECT_EQ(armed, initialized);

    auto second = JobLibrary::Open(FAKE_JOB_PATH);
    EXPECT_EQ(FakeCounter(FAKE_JOB_PATH, FAKE_JOB_INITIALIZE_CALLS), initialized);
    EXPECT_EQ(FakeCounter(FAKE_JOB_PATH, FAKE_JOB_SETUP_CALLS), armed);
    EXPECT_EQ(first->entry(), second->entry());
    EXPECT_EQ(second->path(), std::filesystem::path(FAKE_JOB_PATH));

    JobSystem jobs(2);
    first.reset();  // the image stays loaded for the second
    FakeRun run(100);
    run.Run(jobs, *second, 100);
    for (int32_t i = 0; i < 100; ++i)
        ASSERT_EQ(run.output.span()[i], 2 * i);
}

TEST(JobhostLibrary, ResolverServesTheHostFunctionsAndNeverNull)
{
    const char* known[] = {HEIGHTMESH_HOST_ABORT, HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE,
                           HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES, HEIGHTMESH_HOST_CHECK_READ,
                           HEIGHTMESH_HOST_CHECK_WRITE};
    std::vector<void*> seen;
    for (const char* name : known) {
        void* function = host::Resolve(name);
        ASSERT_NE(function, nullptr) << name;
        for (void* other : seen)
            EXPECT_NE(function, other) << name;
        seen.push_back(function);
    }

    // Unknown names: a callable that says which name it stands for.
    const char* unknown[] = {"Orvin.Jobs.LowLevel.Unsafe.JobsUtility::Nope", "kavex_abort2", "", nullptr};
    for (const char* name : unknown) {
        void* function = host::Resolve(name);
        ASSERT_NE(function, nullptr);
        EXPECT_EQ(function, host::Resolve(name)) << "the same name gets the same function";
        for (void* other : seen)
            EXPECT_NE(function, other);
        const std::string shown = name != nullptr ? name : "(null)";
        ExpectJobError([&] { reinterpret_cast<void (*)()>(function)(); }, "System.MissingMethodException",
                       "The job called the host function '" + shown + "', which this host does not provide.");
    }

    auto abort = reinterpret_cast<HeightmeshAbortFn>(host::Resolve(HEIGHTMESH_HOST_ABORT));
    ExpectJobError([&] { abort("System.IndexOutOfRangeException", "Index 10 is out of range of '10' Length."); },
                   "System.IndexOutOfRangeException", "Index 10 is out of range of '10' Length.");
}

TEST(JobhostLibrary, UnknownHostFunctionCalledByAJobFailsTheRun)
{
    auto library = JobLibrary::Open(FAKE_JOB_PATH);
    JobSystem jobs(2);
    FakeRun run(50);
    run.record.unknownAt = 37;
    ExpectJobError([&] { run.Run(jobs, *library, 50); }, "System.MissingMethodException",
                   "The job called the host function '" FAKE_JOB_UNKNOWN_NAME "', which this host does not provide.");
}

TEST(JobhostLibrary, EachThreadHasItsOwnFrameListHead)
{
    HeightmeshAbortFrame** mine = host::FrameListHead();
    EXPECT_EQ(mine, host::FrameListHead());
    EXPECT_EQ(*mine, nullptr);
    HeightmeshAbortFrame** theirs = nullptr;
    std::thread([&] { theirs = host::FrameListHead(); }).join();
    EXPECT_NE(mine, theirs);
}

TEST(JobhostLibrary, DefaultLibraryPathFindsTheBuiltLibrary)
{
    // The tests run from <build>/bin, the library is in <build>/lib.
    const std::filesystem::path found = DefaultLibraryPath();
    EXPECT_TRUE(std::filesystem::equivalent(found, HEIGHTMESH_LIBRARY_PATH)) << found;
}

// Opening the real library hands out its own job entry, and leaves it
// initialised with this host's functions and armed: a failure on a worker
// arrives as this host's JobError with the library's exact text, and the
// workers go on to run the job correctly afterwards.
TEST(JobhostLibrary, RealLibraryOpensInitialisedAndArmed)
{
    auto library = JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    void* image = dlopen(HEIGHTMESH_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(library->entry()), dlsym(image, HEIGHTMESH_EXPORT_JOB_ENTRY));
    dlclose(image);

    JobSystem jobs(2);
    const float heights[4] = {0.0f, 1.0f, 2.0f, 3.0f};
    const uint8_t keep[1] = {1};
    HeightfieldMeshInput input{heights, keep, 2, 2, {1.0f, 1.0f, 1.0f}};

    // A triangle view one entry short of the cell.
    Buffer<float> heightBuffer(std::span<const float>(heights), "heights");
    Buffer<uint8_t> maskBuffer(std::span<const uint8_t>(keep), "cellMask");
    Buffer<HeightmeshFloat3> vertices(4), normals(4);
    Buffer<HeightmeshFloat2> uvs(4);
    Buffer<int32_t> triangles(5);
    HeightmeshHeightfieldMeshJob job{};
    job.heights = heightBuffer.View();
    job.cellMask = maskBuffer.View();
    job.width = 2;
    job.height = 2;
    job.scale = input.scale;
    job.vertices = vertices.View();
    job.uvs = uvs.View();
    job.normals = normals.View();
    job.triangles = triangles.View();
    ExpectJobError([&] { jobs.Run(library->entry(), &job, sizeof job, {}, {}, 4); }, "System.IndexOutOfRangeException",
                   "Index 5 is out of range of '5' Length.");

    const HeightfieldMesh mesh = RunHeightfieldMesh(jobs, *library, input);
    EXPECT_EQ(std::vector<int32_t>(mesh.triangles.begin(), mesh.triangles.end()),
              (std::vector<int32_t>{0, 3, 1, 0, 2, 3}));
    EXPECT_EQ(mesh.vertices[3].x, 1.0f);
    EXPECT_EQ(mesh.vertices[3].y, 3.0f);
    EXPECT_EQ(mesh.vertices[3].z, 1.0f);
}

}  // namespace
}  // namespace jobhost
