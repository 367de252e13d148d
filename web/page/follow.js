// Keeps the page up with a web map that mapper follows the game with
// (--watch): map_web/updates.js is loaded every second by a script
// element (a page opened from file:// may not fetch), and calls
// MAPPER_UPDATE with the map's description and the tiles changed by each
// generation. Only those tiles are asked for again, under a query that
// the browser's cache has not seen; the view, level and position stay.
(function () {
  'use strict';
  var view = window.MAPPER_VIEW, web = window.MAPPER_WEB;
  if (!view || !web.following) return;
  var PERIOD_MS = 1000;
  var generation = web.generation, run = web.run;
  var stamps = {};  // 'zoom/k/row/column' or 'zoom' -> generation changed

  function tileKey(zoom, k, row, column) {
    return zoom + '/' + k + '/' + row + '/' + column;
  }
  view.tileQuery = function (level, coords) {
    var g = Math.max(stamps[tileKey(level.zoom, coords.z + level.depth, coords.y,
                                    coords.x)] || 0, stamps[level.zoom] || 0);
    return g ? '?g=' + g : '';
  };

  var GEOMETRY = ['width', 'height', 'minColumn', 'minRow', 'depth'];
  var FIELDS = GEOMETRY.concat(['columns', 'present', 'name', 'gridTile']);

  // Takes fresh's fields into the page's level; true when its shape moved.
  function takeLevel(fresh, whole) {
    var level = view.byZoom(fresh.zoom);
    if (!level) {
      view.addLevel(fresh);
      return;
    }
    var moved = GEOMETRY.some(function (f) { return level[f] !== fresh[f]; });
    var dx = (level.minColumn - fresh.minColumn) * fresh.gridTile;
    var dy = (level.minRow - fresh.minRow) * fresh.gridTile;
    FIELDS.forEach(function (f) { level[f] = fresh[f]; });
    if (moved || whole[fresh.zoom]) {
      stamps[fresh.zoom] = fresh.generation;
      view.relayout(level, dx, dy);
    }
  }

  // The shown tiles that changed: a picture is asked for again; a tile
  // that was background (drawn without a request) is made anew.
  function refresh(level, changed) {
    var layer = level.layer, blank = false;
    Object.keys(layer._tiles || {}).forEach(function (k) {
      var t = layer._tiles[k], c = t.coords;
      if (!changed[tileKey(level.zoom, c.z + level.depth, c.y, c.x)]) return;
      if (t.el.tagName === 'IMG') t.el.src = layer.getTileUrl(c);
      else blank = true;
    });
    if (blank) layer.redraw();
  }

  window.MAPPER_UPDATE = function (data, since, tiles) {
    if (data.run === run && data.generation <= generation) return;
    var all = data.run !== run || since > generation;
    var whole = {}, changed = {};
    tiles.forEach(function (t) {
      if (!all && t[0] <= generation) return;
      if (t[2] < 0) whole[t[1]] = true;
      else changed[tileKey(t[1], t[2], t[3], t[4])] = stamps[tileKey(t[1], t[2], t[3], t[4])] = t[0];
    });
    data.levels.forEach(function (fresh) {
      fresh.generation = data.generation;
      if (all) whole[fresh.zoom] = true;
      takeLevel(fresh, whole);
      var level = view.byZoom(fresh.zoom);
      if (!whole[fresh.zoom] && level.layer) refresh(level, changed);
    });
    generation = data.generation;
    run = data.run;
  };

  function load() {
    var script = document.createElement('script');
    script.src = 'map_web/updates.js?t=' + Date.now();
    script.onload = script.onerror = function () {
      script.remove();
      setTimeout(load, PERIOD_MS);
    };
    document.head.appendChild(script);
  }
  setTimeout(load, PERIOD_MS);
})();
