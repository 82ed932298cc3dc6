// Serves a tileset as web globes fetch it: layer.json, the gzip-compressed
// tiles with Content-Encoding: gzip (stored compressed, sent as they are),
// CORS headers on everything, and a viewer page at / that shows the terrain
// on a globe with CesiumJS from the project's own copy, asking nothing of
// any other machine.
#include "run/serve_command.h"

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "common/file_io.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

namespace fs = std::filesystem;

// The viewer: the tileset's terrain without imagery, looking at its bounds.
// window.heightmesh holds the viewer once it is made, for scripts.
constexpr const char* kViewerPage = R"(<!doctype html>
<html>
<head>
<meta charset="utf-8">
<title>heightmesh tileset</title>
<script>window.CESIUM_BASE_URL = "/cesium/";</script>
<script src="/cesium/Cesium.js"></script>
<link href="/cesium/Widgets/widgets.css" rel="stylesheet">
<style>html, body, #globe { margin: 0; width: 100%; height: 100%; overflow: hidden; }</style>
</head>
<body>
<div id="globe"></div>
<script>
(async () => {
  const layer = await (await fetch("layer.json")).json();
  const terrain = await Cesium.CesiumTerrainProvider.fromUrl(".", { requestVertexNormals: true, requestMetadata: true });
  const viewer = new Cesium.Viewer("globe", {
    terrainProvider: terrain, baseLayer: false, baseLayerPicker: false, geocoder: false, homeButton: false,
    timeline: false, animation: false, sceneModePicker: false, navigationHelpButton: false, fullscreenButton: false,
    infoBox: false, selectionIndicator: false, skyBox: false, skyAtmosphere: false,
  });
  viewer.scene.globe.baseColor = Cesium.Color.fromCssColorString("#9aa585");
  viewer.scene.globe.enableLighting = true;
  viewer.scene.globe.depthTestAgainstTerrain = true;
  const [west, south, east, north] = layer.bounds;
  const centre = Cesium.Rectangle.center(Cesium.Rectangle.fromDegrees(west, south, east, north));
  const span = Math.max(east - west, north - south) * 111000;
  viewer.camera.lookAt(Cesium.Cartographic.toCartesian(centre),
                       new Cesium.HeadingPitchRange(0.3, -0.6, Math.max(span * 1.2, 2000)));
  viewer.camera.lookAtTransform(Cesium.Matrix4.IDENTITY);
  // Light from the north-west and above wherever the sun is, so that the
  // relief shows at any hour.
  const position = Cesium.Cartographic.toCartesian(centre);
  const up = Cesium.Ellipsoid.WGS84.geodeticSurfaceNormal(position, new Cesium.Cartesian3());
  const frame = Cesium.Transforms.eastNorthUpToFixedFrame(position);
  const e = Cesium.Matrix4.getColumn(frame, 0, new Cesium.Cartesian4());
  const n = Cesium.Matrix4.getColumn(frame, 1, new Cesium.Cartesian4());
  const direction = new Cesium.Cartesian3(
    0.5 * e.x - 0.5 * n.x - up.x, 0.5 * e.y - 0.5 * n.y - up.y, 0.5 * e.z - 0.5 * n.z - up.z);
  viewer.scene.light = new Cesium.DirectionalLight({
    direction: Cesium.Cartesian3.normalize(direction, direction), intensity: 2.0 });
  window.heightmesh = { viewer, terrain, layer };
})().catch((error) => {
  document.body.textContent = "The viewer failed: " + error;
  window.heightmesh = { error: String(error) };
});
</script>
</body>
</html>
)";

std::string ReadWhole(const fs::path& path, bool& found)
{
    std::ifstream in(path, std::ios::binary);
    found = static_cast<bool>(in);
    std::ostringstream text;
    if (found)
        text << in.rdbuf();
    return text.str();
}

}  // namespace

int RunServeCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine&)
{
    CLI::App app{
        "heightmesh serve: serves a tileset made by heightmesh tiles on 127.0.0.1, with a viewer page at / "
        "(CesiumJS, without imagery or any online service).",
        "heightmesh serve"};
    app.option_defaults()->always_capture_default();
    std::string folder, cesium = HEIGHTMESH_CESIUM_DIR;
    int port = 8000;
    app.add_option("DIR", folder, "folder of the tileset")->required();
    app.add_option("--port", port, "port on 127.0.0.1 (0: any free one, printed)");
    app.add_option("--cesium", cesium, "CesiumJS's built files (node_modules/cesium/Build/Cesium)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    if (port < 0 || port > 65535)
        throw UsageError(fmt::format("--port: {} is not a port (0 to 65535)", port));
    const fs::path root(folder);
    if (!fs::is_regular_file(root / "layer.json"))
        throw ToolError(fmt::format("{} holds no tileset (no layer.json)", Quoted(root)));

    httplib::Server server;
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_header("Access-Control-Allow-Origin", "*");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kViewerPage, "text/html; charset=utf-8");
    });
    server.Get("/layer.json", [root](const httplib::Request&, httplib::Response& response) {
        bool found = false;
        const std::string text = ReadWhole(root / "layer.json", found);
        response.set_content(text, "application/json");
    });
    // Only paths of the tile scheme reach the folder: digits and a fixed suffix.
    server.Get(R"(/(\d{1,2})/(\d{1,9})/(\d{1,9})\.terrain)",
               [root](const httplib::Request& request, httplib::Response& response) {
                   bool found = false;
                   const std::string bytes = ReadWhole(root / request.matches[1].str() / request.matches[2].str() /
                                                           (request.matches[3].str() + ".terrain"),
                                                       found);
                   if (!found) {
                       response.status = 404;
                       return;
                   }
                   response.set_header("Content-Encoding", "gzip");
                   response.set_content(bytes, "application/vnd.quantized-mesh");
               });
    const bool hasCesium = fs::is_regular_file(fs::path(cesium) / "Cesium.js");
    if (hasCesium)
        server.set_mount_point("/cesium", cesium);
    const int bound =
        port == 0 ? server.bind_to_any_port("127.0.0.1") : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound < 0)
        throw ToolError(fmt::format("cannot listen on 127.0.0.1:{}", port));
    out << fmt::format("serving {} at http://127.0.0.1:{}/{}", Quoted(root), bound,
                       hasCesium ? ""
                                 : fmt::format(" (no viewer: CesiumJS is not in {}; run scripts/install-web.sh)",
                                               Quoted(cesium)))
        << std::endl;
    if (!server.listen_after_bind())
        throw ToolError(fmt::format("serving on 127.0.0.1:{} stopped", bound));
    return 0;
}

}  // namespace heightmesh::tool
