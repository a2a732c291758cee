// Tooltips drawn by the page instead of the web view: the web view places its own where
// the pointer is, cut off at the window's edge, and leaves them standing over the menu or
// dialog the click opened. An element's `title` stays its tooltip text; while the pointer
// is on it the text moves aside (so the web view shows nothing) and comes back after.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});

  const DELAY_MS = 500;
  const MARGIN = 6; // from the window's edges
  const GAP = 6; // from the element

  class Tooltips {
    constructor() {
      this.box = document.createElement('div');
      this.box.className = 'page-tooltip';
      this.box.id = 'page-tooltip';
      this.box.setAttribute('role', 'tooltip');
      this.box.hidden = true;
      document.body.append(this.box);
      this.target = null;
      this.timer = null;

      document.addEventListener('mouseover', (e) => this.over(e.target), true);
      document.addEventListener('mouseout', (e) => {
        if (this.target && !this.target.contains(e.relatedTarget)) this.leave();
      }, true);
      // Whatever the user does next may open a menu or a dialog: the tip goes first.
      for (const type of ['mousedown', 'keydown', 'contextmenu', 'wheel']) {
        document.addEventListener(type, () => this.leave(), true);
      }
      window.addEventListener('blur', () => this.leave());
    }

    over(node) {
      const target = node && node.closest ? node.closest('[title]') : null;
      if (target === this.target) return;
      this.leave();
      if (!target || !target.title) return;
      this.target = target;
      this.text = target.title;
      target.removeAttribute('title');
      this.timer = setTimeout(() => this.show(), DELAY_MS);
    }

    show() {
      const target = this.target;
      if (!target || !target.isConnected) return;
      this.box.textContent = this.text;
      this.box.hidden = false;
      const r = target.getBoundingClientRect();
      const w = this.box.offsetWidth;
      const h = this.box.offsetHeight;
      const left = Math.max(MARGIN, Math.min(r.left + r.width / 2 - w / 2, window.innerWidth - w - MARGIN));
      let top = r.bottom + GAP;
      if (top + h > window.innerHeight - MARGIN) top = Math.max(MARGIN, r.top - GAP - h);
      this.box.style.left = left + 'px';
      this.box.style.top = top + 'px';
    }

    // The text goes back, unless the page gave the element a new one meanwhile.
    leave() {
      clearTimeout(this.timer);
      this.timer = null;
      this.box.hidden = true;
      const target = this.target;
      this.target = null;
      if (target && !target.hasAttribute('title')) target.title = this.text;
    }
  }

  Termiva.tooltips = new Tooltips();
})();
