// Runs xterm.js's CommonJS modules (Debian's node-xterm) in the browser.
// The host puts every module in place of the marked line below, as
//   "path/in/the/package/without/.js": function (exports, require, module) { ... },
// and serves the result as /xterm.js. Defines window.Xterm = { Terminal, fit }.
(function () {
  'use strict';
  var modules = {
/* xterm modules */
  };
  var loaded = {};

  // The module `request` names, seen from module `from`.
  function resolve(from, request) {
    var parts = from.split('/');
    parts.pop();
    request.split('/').forEach(function (part) {
      if (part === '..') parts.pop();
      else if (part !== '.' && part !== '') parts.push(part);
    });
    var id = parts.join('/').replace(/\.js$/, '');
    return modules.hasOwnProperty(id) ? id : id + '/index';
  }

  function load(id) {
    if (loaded.hasOwnProperty(id)) return loaded[id].exports;
    if (!modules.hasOwnProperty(id)) throw new Error('xterm.js module ' + id + ' is missing');
    var module = { exports: {} };
    loaded[id] = module;
    modules[id].call(module.exports, module.exports, function (request) {
      return load(resolve(id, request));
    }, module);
    return module.exports;
  }

  window.Xterm = { Terminal: load('public/Terminal').Terminal, fit: load('addons/fit/fit') };
})();
