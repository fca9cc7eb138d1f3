// Real-browser test of the web interface: log in, see the meters move, set the input gain
// to -30 and check the processing instance received it, see a wrong secret refused and
// the connection state follow the instance.
//
// Two ways to run:
//  - against a fake instance: ZEPHRANE_WEB_TEST_SERVER names the zephrane_web_test_server
//    program, which this script starts (that is what ctest does);
//  - against the whole system: ZEPHRANE_WEB_URL (e.g. http://localhost:8080/),
//    ZEPHRANE_WEB_USER, ZEPHRANE_WEB_SECRET, and ZEPHRANE_JSON_ADDR (host:port of the
//    processing instance's JSON port, read back to check the gain).
// A screenshot goes to ZEPHRANE_ARTIFACT_DIR (default: ./artifacts).
//
// Without chromium or playwright-core the test prints a SKIP line and ends with
// ZEPHRANE_SKIP_EXIT_CODE (0 unless set; ctest sets 77 and treats it as skipped).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const chromiumPath = process.env.CHROMIUM_PATH || '/usr/bin/chromium';
const artifactDir = process.env.ZEPHRANE_ARTIFACT_DIR || path.resolve('artifacts');
const USER = process.env.ZEPHRANE_WEB_USER || 'operator';
const SECRET = process.env.ZEPHRANE_WEB_SECRET || 'browser-test-secret';

function skip(reason) {
  console.log(`SKIP: ${reason}`);
  process.exit(Number(process.env.ZEPHRANE_SKIP_EXIT_CODE || 0));
}

function fail(message) {
  throw new Error(message);
}

let playwright;
try {
  playwright = require('playwright-core');
} catch (e) {
  skip('playwright-core is not installed (run "npm ci" in tests/browser)');
}
if (!fs.existsSync(chromiumPath)) skip(`no chromium at ${chromiumPath} (apt-get install chromium)`);

// The helper that serves the page in front of a fake instance.
class TestServer {
  static async start(program) {
    const server = new TestServer();
    server.child = spawn(program, [], {
      env: { ...process.env, SETUP_USER: USER, SETUP_SECRET: SECRET, STATE_DIR: '' },
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    server.lines = readline.createInterface({ input: server.child.stdout })[Symbol.asyncIterator]();
    const ready = (await server.lines.next()).value || '';
    const match = /^READY (\d+) (\d+)$/.exec(ready);
    if (!match) fail(`test server did not start: "${ready}"`);
    server.url = `http://127.0.0.1:${match[1]}/`;
    return server;
  }
  async command(text, until) {
    this.child.stdin.write(text + '\n');
    const out = [];
    for (;;) {
      const line = (await this.lines.next()).value;
      if (line === undefined || line === until) return out;
      out.push(line);
      if (line === 'FAILED') return out;
    }
  }
  async stop() {
    this.child.stdin.end('quit\n');
    await new Promise((resolve) => this.child.on('exit', resolve));
  }
}

// Asks the real JSON port for the input settings.
function jsonRequest(address, line) {
  const [host, port] = [address.slice(0, address.lastIndexOf(':')), Number(address.slice(address.lastIndexOf(':') + 1))];
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host, port }, () => socket.write(line + '\n'));
    let data = '';
    socket.setTimeout(3000, () => { socket.destroy(); reject(new Error('JSON port timed out')); });
    socket.on('data', (chunk) => {
      data += chunk;
      const end = data.indexOf('\n');
      if (end >= 0) { socket.end(); resolve(JSON.parse(data.slice(0, end))); }
    });
    socket.on('error', reject);
  });
}

async function main() {
  let server = null;
  let url = process.env.ZEPHRANE_WEB_URL;
  if (!url) {
    const program = process.env.ZEPHRANE_WEB_TEST_SERVER;
    if (!program || !fs.existsSync(program)) skip('neither ZEPHRANE_WEB_URL nor ZEPHRANE_WEB_TEST_SERVER given');
    server = await TestServer.start(program);
    url = server.url;
  }
  fs.mkdirSync(artifactDir, { recursive: true });
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zephrane-chromium-'));
  const context = await playwright.chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    ignoreHTTPSErrors: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = context.pages()[0] || await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error' && !/401|503/.test(m.text())) problems.push(`console: ${m.text()}`); });
  try {
    await page.goto(url);
    await page.locator('#login-panel').waitFor({ state: 'visible', timeout: 10000 });

    // A wrong secret is refused and the interface stays closed.
    await page.fill('#user', USER);
    await page.fill('#secret', SECRET + 'x');
    await page.click('#login-button');
    await page.locator('#login-message').filter({ hasText: 'Wrong user or secret' }).waitFor({ timeout: 5000 });
    if (await page.locator('#app').isVisible()) fail('interface shown after a wrong secret');

    await page.fill('#secret', SECRET);
    await page.click('#login-button');
    await page.locator('#app').waitFor({ state: 'visible', timeout: 5000 });
    await page.locator('#connection', { hasText: /^connected$/ }).waitFor({ timeout: 5000 });

    // The meters move.
    const seen = new Set();
    const t0 = Date.now();
    while (seen.size < 3 && Date.now() - t0 < 5000) {
      seen.add(await page.textContent('#in-peak'));
      await page.waitForTimeout(120);
    }
    seen.delete('–');
    if (seen.size < 3) fail(`input peak meter did not move: ${[...seen]}`);

    // The peak hold marks the highest recent peak: never left of the bar it belongs to.
    const hold = await page.evaluate(() => ({
      shown: getComputedStyle(document.getElementById('in-peak-hold')).display !== 'none',
      left: parseFloat(document.getElementById('in-peak-hold').style.left),
      db: parseFloat(document.getElementById('in-peak-hold').dataset.db),
    }));
    if (!hold.shown || !(hold.left > 0)) fail(`no input peak hold: ${JSON.stringify(hold)}`);
    // A loud peak is held for 2 s against quieter ones, then follows the level again.
    const heldAfter = await page.evaluate(async () => {
      showMeters({ in: { peak: -3, rms: -10 }, out: { peak: -3, rms: -10 } });
      const marks = [];
      for (const wait of [500, 1000, 1200]) {
        await new Promise((r) => setTimeout(r, wait));
        showMeters({ in: { peak: -40, rms: -45 }, out: { peak: -40, rms: -45 } });
        marks.push(document.getElementById('out-peak-hold').dataset.db);
      }
      return marks;
    });
    if (heldAfter[0] !== '-3.0' || heldAfter[1] !== '-3.0' || heldAfter[2] === '-3.0') {
      fail(`peak hold after 0.5, 1.5 and 2.7 s: ${heldAfter}`);
    }
    // Full scale lights the clip light, which stays lit until clicked.
    if (await page.locator('#clip-light.lit').count() !== 0) fail('clip light lit without full scale');
    await page.evaluate(() => showMeters({ in: { peak: -6 }, out: { peak: 0 } }));
    await page.waitForTimeout(1500);
    if (await page.locator('#clip-light.lit').count() !== 1) fail('clip light not lit after full scale');
    await page.click('#clip-light');
    if (await page.locator('#clip-light.lit').count() !== 0) fail('clip light still lit after a click');
    // The history canvas has drawn the levels seen so far.
    const drawn = await page.evaluate(() => {
      const canvas = document.getElementById('history');
      const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let lit = 0;
      for (let i = 3; i < pixels.length; i += 4) lit += pixels[i] > 0 ? 1 : 0;
      return lit;
    });
    if (drawn < 500) fail(`history canvas nearly empty: ${drawn} pixels drawn`);

    // Input gain to -30: the value in force comes back from the instance. The value is
    // typed more slowly than the settings refresh (about once a second), which must not
    // replace it before Enter.
    await page.fill('#in-gain-number', '-30');
    await page.waitForTimeout(1500);
    if (await page.inputValue('#in-gain-number') !== '-30') fail('the settings refresh replaced a value being typed');
    await page.press('#in-gain-number', 'Enter');
    await page.locator('#in-gain-force', { hasText: 'in force: -30' }).waitFor({ timeout: 3000 });
    if (server) {
      const lines = await server.command('lines', 'END');
      const sets = lines.map((l) => JSON.parse(l)).filter((r) => r.set && r.set.in && r.set.in.gain === -30);
      if (sets.length === 0) fail(`the instance never got {"set":{"in":{"gain":-30}}}; it got ${lines.slice(-5)}`);
    }
    if (process.env.ZEPHRANE_JSON_ADDR) {
      const reply = await jsonRequest(process.env.ZEPHRANE_JSON_ADDR, '{"get":{"in":null}}');
      if (!reply.in || reply.in.gain !== -30) fail(`JSON port reports ${JSON.stringify(reply)}`);
    }
    // A preset saved from the page can be put on air.
    if (server) {
      await page.fill('#preset-name', 'Morning');
      await page.click('#preset-save');
      await page.locator('#preset-list option[value="Morning"]').waitFor({ state: 'attached', timeout: 3000 });
      await page.selectOption('#preset-list', 'Morning');
      await page.click('#preset-load');
      await page.locator('#onair', { hasText: 'Morning' }).waitFor({ timeout: 3000 });
    }
    // Let the meters catch up with the new gain before the picture is taken.
    await page.waitForTimeout(1000);
    await page.screenshot({ path: path.join(artifactDir, 'web-ui.png'), fullPage: true });
    await page.setViewportSize({ width: 390, height: 844 });  // a phone
    await page.screenshot({ path: path.join(artifactDir, 'web-ui-phone.png'), fullPage: true });

    // A cycle-length change replaces the web server: the page goes on without showing
    // a disconnection, and controls still reach the instance.
    if (server) {
      await page.evaluate(() => {
        const el = document.getElementById('connection');
        window.seenStates = [];
        new MutationObserver(() => window.seenStates.push(el.textContent))
          .observe(el, { childList: true, characterData: true, subtree: true });
      });
      const replaced = await server.command('replace', 'OK');
      if (replaced.length) fail(`replacing the web server failed: ${replaced}`);
      await page.waitForTimeout(2500);
      await page.fill('#out-gain-number', '-3');
      await page.press('#out-gain-number', 'Enter');
      await page.locator('#out-gain-force', { hasText: 'in force: -3' }).waitFor({ timeout: 3000 });
      const states = await page.evaluate(() => window.seenStates);
      if (states.includes('disconnected')) fail(`page showed a disconnection across the replacement: ${states}`);
    }

    // The instance goes away and comes back: the page says so, without a reload.
    if (server) {
      await server.command('down', 'OK');
      await page.locator('#connection', { hasText: 'disconnected' }).waitFor({ timeout: 5000 });
      await page.screenshot({ path: path.join(artifactDir, 'web-ui-disconnected.png'), fullPage: true });
      await server.command('up', 'OK');
      await page.locator('#connection', { hasText: /^connected$/ }).waitFor({ timeout: 5000 });
    }
    if (problems.length) fail(problems.join('\n'));
    console.log(`PASS: browser test against ${url}; screenshots in ${artifactDir}`);
  } catch (e) {
    await page.screenshot({ path: path.join(artifactDir, 'web-ui-failure.png'), fullPage: true }).catch(() => {});
    throw e;
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
    if (server) await server.stop();
  }
}

main().catch((e) => {
  console.error(`FAIL: ${e.stack || e}`);
  process.exit(1);
});
