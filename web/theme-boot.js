// Runs in the head, before the body is parsed, so the first paint already has
// the right colours. Order: ?theme= in the URL, the remembered theme, the
// browser's preference, dark. Each step is guarded on its own: storage can be
// refused (privacy modes, sandboxed frames) and old browsers lack matchMedia.
(function () {
  var root = document.documentElement, q = location.search, t = null;
  try {
    var m = /[?&]theme=(light|dark)/.exec(q);
    if (m) t = m[1];
  } catch (e) {}
  if (!t) {
    try {
      var s = localStorage.getItem('bot_theme');
      if (s === 'light' || s === 'dark') t = s;
    } catch (e) {}
  }
  if (!t) {
    try {
      t = window.matchMedia && window.matchMedia('(prefers-color-scheme: light)').matches ? 'light' : 'dark';
    } catch (e) {
      t = 'dark';
    }
  }
  root.setAttribute('data-theme', t);
  // The hub adds embed=1 or embed=true when it frames the page.
  try {
    if (/[?&]embed=(1|true)(&|$)/.test(q)) root.classList.add('embedded');
  } catch (e) {}
  // Remembered whichever step chose it, so a later visit keeps it.
  try {
    localStorage.setItem('bot_theme', t);
  } catch (e) {}
})();
