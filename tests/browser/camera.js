// Opens a camera the way a web page does, waits for real frames and sends the
// server what it observed.  The page judges nothing: the runner compares the
// report against what it expects, so a failure is always explained by data.
'use strict';

const params = new URLSearchParams(location.search);
const wantedLabel = params.get('label') || '';
const wantedFrames = Math.max(1, parseInt(params.get('frames') || '30', 10));
// The runner's own deadline, as wall-clock milliseconds, less the time it
// needs to read the report: the page reports what it has before then.
const deadlineAt = parseInt(params.get('deadline_at') || '0', 10) || (Date.now() + 10000);
// Video constraints for getUserMedia, as JSON; plain `true` by default.
const videoConstraints = JSON.parse(params.get('constraints') || 'true');
// How long a camera that is not (yet) listed is looked for again.
const settleMs = Math.max(0, parseInt(params.get('settle_ms') || '3000', 10));
const sampleSize = 8;

const started = performance.now();
const result = {
  userAgent: navigator.userAgent,
  wantedLabel,
  wantedFrames,
  constraints: videoConstraints,
  labels: [],
  deviceFound: false,
  attempts: 0,
  retries: [],
  trackLabel: null,
  settings: null,
  frames: 0,
  frameCounter: null,
  frameCounts: null,
  width: 0,
  height: 0,
  rgb: null,
  elapsedMs: 0,
  errors: [],
};

const logElement = document.getElementById('log');

function progress(message) {
  const line = `${Math.round(performance.now() - started)} ms: ${message}`;
  logElement.textContent += line + '\n';
  // Best effort: shows how far the page came if it never finishes.
  fetch('/progress', {method: 'POST', body: line}).catch(() => {});
}

window.addEventListener('error', (event) => {
  result.errors.push(`uncaught: ${event.message}`);
});
window.addEventListener('unhandledrejection', (event) => {
  result.errors.push(`unhandled rejection: ${event.reason}`);
});

function remainingMs() {
  return deadlineAt - Date.now();
}

function withDeadline(promise, what) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(
        () => reject(new Error(`${what} did not finish before the deadline`)),
        Math.max(0, remainingMs()));
    promise.then((value) => { clearTimeout(timer); resolve(value); },
                 (error) => { clearTimeout(timer); reject(error); });
  });
}

function describeError(error) {
  if (error && error.name) return `${error.name}: ${error.message}`;
  return String(error);
}

// Counts the frames the video element really received.  Only per-frame
// counters count: requestVideoFrameCallback (once per presented frame, in both
// browsers, headless too), the element's decoded-frame count (Chromium) and
// its painted-frame count (Firefox).  The media time is no such counter: for a
// camera stream it moves with the clock, also when no new frame came.
function countFrames(video, wanted) {
  return new Promise((resolve) => {
    const counts = {requestVideoFrameCallback: 0};
    result.frameCounts = counts;
    let finished = false;
    let poll = null;
    const best = () => {
      let name = null;
      for (const key of Object.keys(counts)) {
        if (name === null || counts[key] > counts[name]) name = key;
      }
      return name;
    };
    const finish = () => {
      if (finished) return;
      finished = true;
      clearInterval(poll);
      clearTimeout(stopAt);
      const name = best();
      result.frames = counts[name];
      result.frameCounter = name;
      resolve(result.frames);
    };
    const check = () => { if (counts[best()] >= wanted) finish(); };
    const stopAt = setTimeout(finish, Math.max(0, remainingMs()));

    if (typeof video.requestVideoFrameCallback === 'function') {
      const onFrame = () => {
        if (finished) return;
        counts.requestVideoFrameCallback++;
        check();
        video.requestVideoFrameCallback(onFrame);
      };
      video.requestVideoFrameCallback(onFrame);
    }
    const counters = {
      totalVideoFrames: () => (video.getVideoPlaybackQuality ?
                               video.getVideoPlaybackQuality().totalVideoFrames : undefined),
      mozPaintedFrames: () => video.mozPaintedFrames,
    };
    const base = {};
    for (const [name, read] of Object.entries(counters)) {
      const value = read();
      if (typeof value === 'number') {
        base[name] = value;
        counts[name] = 0;
      }
    }
    poll = setInterval(() => {
      for (const name of Object.keys(base)) counts[name] = counters[name]() - base[name];
      check();
    }, 5);
  });
}

function sampleCentre(video) {
  const canvas = document.getElementById('canvas');
  const width = video.videoWidth;
  const height = video.videoHeight;
  result.width = width;
  result.height = height;
  if (!width || !height) throw new Error('the video has no size');
  canvas.width = width;
  canvas.height = height;
  const context = canvas.getContext('2d', {willReadFrequently: true});
  context.drawImage(video, 0, 0, width, height);
  const size = Math.min(sampleSize, width, height);
  const x = Math.floor((width - size) / 2);
  const y = Math.floor((height - size) / 2);
  const data = context.getImageData(x, y, size, size).data;
  const sum = [0, 0, 0];
  for (let i = 0; i < data.length; i += 4) {
    sum[0] += data[i];
    sum[1] += data[i + 1];
    sum[2] += data[i + 2];
  }
  const count = data.length / 4;
  result.rgb = sum.map((value) => Math.round(value / count));
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Opens a camera and looks for the wanted one among the devices.  A camera
// that was published a moment ago may not be visible yet (the session manager
// grants the browser's portal connection access to it asynchronously), so for
// a short while a miss is retried; every retry is kept in the report.
async function openAndFind() {
  const settleUntil = performance.now() + Math.min(settleMs, remainingMs());
  for (let attempt = 1; ; attempt++) {
    result.attempts = attempt;
    let stream = null;
    try {
      progress(`getUserMedia({video: ${JSON.stringify(videoConstraints)}}), attempt ${attempt}`);
      // Labels stay hidden until the page has been granted a camera once.
      stream = await withDeadline(navigator.mediaDevices.getUserMedia({video: videoConstraints}),
                                  'getUserMedia');
    } catch (error) {
      if (error.name !== 'NotFoundError' || performance.now() >= settleUntil) throw error;
      result.retries.push(describeError(error));
      await sleep(250);
      continue;
    }
    progress(`got a stream: ${stream.getVideoTracks().map((t) => t.label).join(', ')}`);
    const devices = await withDeadline(navigator.mediaDevices.enumerateDevices(),
                                       'enumerateDevices');
    const cameras = devices.filter((device) => device.kind === 'videoinput');
    result.labels = cameras.map((device) => device.label);
    progress(`videoinput devices: ${JSON.stringify(result.labels)}`);
    const wanted = cameras.find((device) => device.label === wantedLabel) || null;
    result.deviceFound = Boolean(wanted);
    if (wanted || performance.now() >= settleUntil) return {stream, wanted};
    result.retries.push(`labels ${JSON.stringify(result.labels)}`);
    stream.getTracks().forEach((t) => t.stop());
    await sleep(250);
  }
}

async function run() {
  let stream = null;
  try {
    let wanted = null;
    ({stream, wanted} = await openAndFind());
    if (!wanted) {
      result.errors.push(`no videoinput labelled ${JSON.stringify(wantedLabel)}`);
      return;
    }

    // The first stream is whatever camera the browser chose; the frames must
    // come from the one with the expected label.
    let track = stream.getVideoTracks()[0];
    if (!track || track.label !== wantedLabel) {
      progress(`reopening with deviceId of ${JSON.stringify(wantedLabel)}`);
      stream.getTracks().forEach((t) => t.stop());
      const byId = Object.assign({}, typeof videoConstraints === 'object' ? videoConstraints : {},
                                 {deviceId: {exact: wanted.deviceId}});
      stream = await withDeadline(navigator.mediaDevices.getUserMedia({video: byId}),
                                  'getUserMedia(deviceId)');
      track = stream.getVideoTracks()[0];
    }
    result.trackLabel = track.label;
    result.settings = track.getSettings();

    const video = document.getElementById('video');
    video.muted = true;
    video.srcObject = stream;
    await withDeadline(video.play(), 'video.play()');
    progress('playing; counting frames');
    const frames = await countFrames(video, wantedFrames);
    progress(`${frames} frames (${result.frameCounter})`);
    if (frames < 1) {
      result.errors.push('no frame arrived');
      return;
    }
    sampleCentre(video);
    progress(`${result.width}x${result.height}, centre rgb ${result.rgb}`);
    // Settings may only be complete once frames flow.
    result.settings = track.getSettings();
  } catch (error) {
    result.errors.push(describeError(error));
    progress(`error: ${describeError(error)}`);
  } finally {
    if (stream) stream.getTracks().forEach((t) => t.stop());
    result.elapsedMs = Math.round(performance.now() - started);
    await report();
  }
}

async function report() {
  const body = JSON.stringify(result);
  logElement.textContent += body + '\n';
  for (let attempt = 0; attempt < 3; attempt++) {
    try {
      const response = await fetch('/result', {method: 'POST', body,
                                               headers: {'Content-Type': 'application/json'}});
      if (response.ok) return;
    } catch (error) {
      // Retried below; the runner times out if every attempt fails.
    }
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
}

run();
