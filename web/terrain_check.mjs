// Opens heightmesh serve's viewer page in headless Chromium, waits for the
// terrain to load, asks CesiumJS for the terrain height at known points and
// compares them with the raster's, checks that no request left the machine,
// and saves a screenshot that must not be blank.
//
//   node terrain_check.mjs URL POINTS.json TOLERANCE_METRES SCREENSHOT.png
//
// POINTS.json: [{"lon": .., "lat": .., "height": ..}, ...]. Exits 1 on any
// failure, saying which.
import fs from "node:fs";
import puppeteer from "puppeteer-core";

const [url, pointsFile, toleranceText, screenshot] = process.argv.slice(2);
const points = JSON.parse(fs.readFileSync(pointsFile, "utf8"));
const tolerance = Number(toleranceText);
const failures = [];

const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  headless: "new",
  args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--window-size=800,600"],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 800, height: 600 });
  const foreign = new Set();
  page.on("request", (request) => {
    const address = new URL(request.url());
    if (!["data:", "blob:"].includes(address.protocol) && address.hostname !== "127.0.0.1")
      foreign.add(request.url());
  });
  page.on("pageerror", (error) => console.error("page error:", error.message));
  await page.goto(url, { waitUntil: "load" });
  await page.waitForFunction(() => window.heightmesh, { timeout: 60000 });
  const error = await page.evaluate(() => window.heightmesh.error);
  if (error) throw new Error("the viewer failed: " + error);
  await page.waitForFunction(() => window.heightmesh.viewer.scene.globe.tilesLoaded, { timeout: 180000, polling: 250 });

  const heights = await page.evaluate(async (list) => {
    const places = list.map((p) => Cesium.Cartographic.fromDegrees(p.lon, p.lat));
    const sampled = await Cesium.sampleTerrainMostDetailed(window.heightmesh.terrain, places);
    return sampled.map((c) => c.height);
  }, points);
  let worst = 0;
  points.forEach((p, k) => {
    const difference = Math.abs(heights[k] - p.height);
    worst = Math.max(worst, Number.isFinite(difference) ? difference : Infinity);
    if (!(difference <= tolerance))
      failures.push(`at ${p.lon},${p.lat}: the client has ${heights[k]} m, the raster ${p.height} m`);
  });
  console.log(`${points.length} points: the client's heights within ${worst.toFixed(3)} m of the raster's (allowed ${tolerance.toFixed(3)} m)`);

  // A frame with the terrain in it, then its pixels: a blank or single-colour
  // picture means nothing was drawn.
  await new Promise((resolve) => setTimeout(resolve, 500));
  const png = await page.screenshot({ path: screenshot, type: "png" });
  const spread = await page.evaluate(async (data) => {
    const image = new Image();
    image.src = "data:image/png;base64," + data;
    await image.decode();
    const canvas = document.createElement("canvas");
    canvas.width = image.width, canvas.height = image.height;
    const context = canvas.getContext("2d");
    context.drawImage(image, 0, 0);
    // The middle of the picture, away from the credits in its corner.
    const pixels = context.getImageData(canvas.width / 8, canvas.height / 8, (canvas.width * 3) / 4,
                                        (canvas.height * 3) / 4).data;
    const colours = new Set();
    for (let i = 0; i < pixels.length; i += 4 * 7) colours.add((pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]);
    return colours.size;
  }, Buffer.from(png).toString("base64"));
  console.log(`screenshot ${screenshot}: ${spread} colours`);
  if (spread < 50) failures.push(`the screenshot is blank (${spread} colours)`);
  if (foreign.size > 0) failures.push("requests left the machine: " + [...foreign].join(", "));
} catch (error) {
  failures.push(String(error));
} finally {
  await browser.close();
}
for (const failure of failures) console.error("FAIL:", failure);
process.exit(failures.length ? 1 : 0);
