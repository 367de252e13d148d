// Opens a page in headless chromium, driven through the DevTools protocol
// on a pipe (no network port), runs the steps given as arguments and
// prints what it saw, one line each:
//   node browser_view.js URL STEP...
//   steps: shot=FILE (screenshot after the tiles settle), move=X,Y (prints
//   "text X,Y <text of #grid-cell>"), key=K (a key press), eval=EXPR
//   (prints "eval <JSON of the result>"), open=URL (loads the page anew
//   at URL; prints "title <the page's title>"), drag=X,Y,DX,DY (the left
//   button pressed at X,Y, moved by DX,DY and let go), run=COMMAND (a
//   shell command), sleep=MS, grab=FILE (a screenshot at once, without
//   waiting to settle)
// and at the end "request <url>" for every request the page made and
// "error <text>" for every console error, failed load or exception.
'use strict';
const {spawn} = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const WIDTH = 800, HEIGHT = 600;
// Quiet time that counts as settled, and the longest wait for it (ms).
const SETTLE_MS = 600, SETTLE_LIMIT_MS = 15000;
// A page that does not answer a command within this long has hung (ms).
const ANSWER_LIMIT_MS = 10000;

const [url, ...steps] = process.argv.slice(2);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'mapper-chromium-'));
const browser = spawn(process.env.CHROMIUM || 'chromium', [
  '--headless', '--remote-debugging-pipe', '--no-sandbox', '--disable-gpu',
  '--no-first-run', '--no-default-browser-check', '--hide-scrollbars',
  '--force-color-profile=srgb', '--disable-extensions',
  '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--user-data-dir=' + profile, 'about:blank'
], {stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe']});
const toBrowser = browser.stdio[3], fromBrowser = browser.stdio[4];

let nextId = 1, session = null, lastActivity = Date.now(), inFlight = 0;
const waiting = new Map(), requests = [], errors = [];
let buffer = '';

function send(method, params = {}, sessionId = session) {
  const id = nextId++;
  const message = {id, method, params};
  if (sessionId) message.sessionId = sessionId;
  toBrowser.write(JSON.stringify(message) + '\0');
  return new Promise((resolve, reject) => {
    waiting.set(id, {resolve, reject, method});
    setTimeout(() => {
      if (waiting.delete(id))
        reject(new Error(method + ': the page gave no answer within ' +
                         ANSWER_LIMIT_MS + ' ms'));
    }, ANSWER_LIMIT_MS);
  });
}

function onEvent(m) {
  const p = m.params;
  if (m.method === 'Network.requestWillBeSent') {
    requests.push(p.request.url);
    ++inFlight;
  } else if (m.method === 'Network.loadingFinished') {
    --inFlight;
  } else if (m.method === 'Network.loadingFailed') {
    --inFlight;
    errors.push('failed load: ' + p.errorText);
  } else if (m.method === 'Runtime.consoleAPICalled' && p.type === 'error') {
    errors.push('console: ' + p.args.map(a => a.value || a.description).join(' '));
  } else if (m.method === 'Runtime.exceptionThrown') {
    errors.push('exception: ' + JSON.stringify(p.exceptionDetails.exception?.description ||
                                               p.exceptionDetails.text));
  } else if (m.method === 'Log.entryAdded' && p.entry.level === 'error') {
    errors.push('log: ' + p.entry.text + ' ' + (p.entry.url || ''));
  }
  lastActivity = Date.now();
}

fromBrowser.on('data', chunk => {
  buffer += chunk.toString('utf8');
  let end;
  while ((end = buffer.indexOf('\0')) >= 0) {
    const m = JSON.parse(buffer.slice(0, end));
    buffer = buffer.slice(end + 1);
    if (m.id && waiting.has(m.id)) {
      const w = waiting.get(m.id);
      waiting.delete(m.id);
      if (m.error) w.reject(new Error(w.method + ': ' + m.error.message));
      else w.resolve(m.result);
    } else if (m.method) {
      onEvent(m);
    }
  }
});

const sleep = ms => new Promise(r => setTimeout(r, ms));

// Waits until no request is open and nothing happened for SETTLE_MS, and
// Leaflet has no tile still loading.
async function settle() {
  const start = Date.now();
  for (;;) {
    await sleep(100);
    const loading = await evaluate(
      "document.querySelectorAll('img.leaflet-tile:not(.leaflet-tile-loaded)').length");
    if (inFlight <= 0 && loading === 0 && Date.now() - lastActivity > SETTLE_MS) return;
    if (Date.now() - start > SETTLE_LIMIT_MS) {
      errors.push('page did not settle');
      return;
    }
  }
}

async function evaluate(expression) {
  const r = await send('Runtime.evaluate', {expression, returnByValue: true});
  return r.result.value;
}

async function mouse(type, x, y, button = 'none') {
  await send('Input.dispatchMouseEvent', {type, x, y, button, clickCount: 1,
                                          buttons: button === 'left' ? 1 : 0});
}

const DRAG_STEPS = 10;
async function drag(x, y, dx, dy) {
  await mouse('mousePressed', x, y, 'left');
  for (let i = 1; i <= DRAG_STEPS; ++i)
    await mouse('mouseMoved', x + dx * i / DRAG_STEPS, y + dy * i / DRAG_STEPS, 'left');
  await mouse('mouseReleased', x + dx, y + dy, 'left');
}

async function run() {
  const {targetId} = await send('Target.createTarget', {url: 'about:blank'}, null);
  ({sessionId: session} = await send('Target.attachToTarget', {targetId, flatten: true}, null));
  for (const domain of ['Page', 'Runtime', 'Log', 'Network'])
    await send(domain + '.enable');
  await send('Emulation.setDeviceMetricsOverride',
             {width: WIDTH, height: HEIGHT, deviceScaleFactor: 1, mobile: false});
  await send('Page.navigate', {url});
  await settle();
  for (const step of steps) {
    const [kind, arg] = [step.slice(0, step.indexOf('=')), step.slice(step.indexOf('=') + 1)];
    if (kind === 'shot') {
      await settle();
      const {data} = await send('Page.captureScreenshot', {format: 'png'});
      fs.writeFileSync(arg, Buffer.from(data, 'base64'));
    } else if (kind === 'move') {
      const [x, y] = arg.split(',').map(Number);
      await mouse('mouseMoved', x + 1, y + 1);
      await mouse('mouseMoved', x, y);
      const text = await evaluate("document.getElementById('grid-cell').textContent");
      console.log('text ' + arg + ' ' + text);
    } else if (kind === 'key') {
      const code = arg.charCodeAt(0);
      await send('Input.dispatchKeyEvent', {type: 'keyDown', key: arg, text: arg,
                                            windowsVirtualKeyCode: code});
      await send('Input.dispatchKeyEvent', {type: 'keyUp', key: arg,
                                            windowsVirtualKeyCode: code});
    } else if (kind === 'drag') {
      await drag(...arg.split(',').map(Number));
      await settle();
    } else if (kind === 'open') {
      await send('Page.navigate', {url: 'about:blank'});
      await send('Page.navigate', {url: arg});
      await settle();
      console.log('title ' + await evaluate('document.title'));
    } else if (kind === 'run') {
      require('child_process').execSync(arg, {stdio: 'inherit'});
    } else if (kind === 'sleep') {
      await sleep(Number(arg));
    } else if (kind === 'grab') {
      const {data} = await send('Page.captureScreenshot', {format: 'png'});
      fs.writeFileSync(arg, Buffer.from(data, 'base64'));
    } else if (kind === 'eval') {
      console.log('eval ' + JSON.stringify(await evaluate(arg)));
    } else {
      throw new Error('unknown step ' + step);
    }
  }
  for (const r of requests) console.log('request ' + r);
  for (const e of errors) console.log('error ' + e);
}

run().then(() => 0, e => { console.error(e.message); return 1; }).then(code => {
  browser.on('exit', () => {
    // Chromium's helper processes may still write into the profile for a
    // moment after the browser itself has gone.
    try {
      fs.rmSync(profile, {recursive: true, force: true, maxRetries: 20,
                          retryDelay: 100});
    } catch (e) {
      console.error('leaving ' + profile + ': ' + e.message);
    }
    process.exit(code);
  });
  browser.kill();
});
