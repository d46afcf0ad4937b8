// Follows the framing host's theme. kvApplyTheme and kvTheme are the only
// globals of the theme scripts; the host and other scripts of the page use them.
(function () {
  var root = document.documentElement;
  function apply(t) {
    if (t !== 'light' && t !== 'dark') return;
    if (root.getAttribute('data-theme') === t) return;
    root.setAttribute('data-theme', t);
    try {
      localStorage.setItem('bot_theme', t);
    } catch (e) {}
    try {
      window.dispatchEvent(new CustomEvent('bot-theme', { detail: t }));
    } catch (e) {}
  }
  window.kvApplyTheme = apply;
  window.kvTheme = function () {
    var t = root.getAttribute('data-theme');
    return t === 'light' || t === 'dark' ? t : 'dark';
  };
  // Any origin, any time: the host passes on every change of its own theme.
  window.addEventListener('message', function (ev) {
    var d = ev.data;
    if (d && d.type === 'kv-theme') apply(d.theme);
  });
  try {
    if (window.parent && window.parent !== window) window.parent.postMessage({ type: 'kv-theme-request' }, '*');
  } catch (e) {}
})();
