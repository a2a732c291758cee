// Frames on demand. The terminal's renderer draws in an animation frame, and WebKitGTK
// without accelerated compositing runs animation frames on its own clock: a frame came
// 9-13 ms after it was asked for, while a change made outside a frame is painted at once.
// So when no frame has run for a frame's time, the callbacks asked for run in a task of
// their own right away (a keystroke's echo is drawn at once); while frames follow one
// another they keep to the display's clock, so a flood is still drawn once a frame. A
// hidden page waits for the browser's frames as before.
(function () {
  'use strict';
  const FRAME_MS = 1000 / 60;
  const browserFrame = window.requestAnimationFrame.bind(window);
  let waiting = new Map(); // id -> callback, all run in the next frame
  let nextId = 1;
  let scheduled = false;
  let lastFrame = -Infinity;

  function runFrame(time) {
    scheduled = false;
    lastFrame = performance.now();
    const due = waiting;
    waiting = new Map();
    for (const callback of due.values()) {
      try {
        callback(time);
      } catch (err) {
        // As in a browser frame: one failing callback does not stop the others.
        setTimeout(() => {
          throw err;
        });
      }
    }
  }

  window.requestAnimationFrame = (callback) => {
    const id = nextId++;
    waiting.set(id, callback);
    if (!scheduled) {
      scheduled = true;
      if (document.visibilityState === 'visible' && performance.now() - lastFrame >= FRAME_MS) {
        setTimeout(() => runFrame(performance.now()), 0);
      } else {
        browserFrame(runFrame);
      }
    }
    return id;
  };

  window.cancelAnimationFrame = (id) => {
    waiting.delete(id);
  };
})();
