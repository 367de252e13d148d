// The web map's view: one base layer per level of MAPPER_WEB (levels.js),
// switched with the layer control or the keys 0 to 9; the grid column and
// row under the pointer as the game counts them; the view kept in the
// URL's hash (#level=Z&x=X&y=Y&zoom=S, x and y in the level's map pixels).
(function () {
  'use strict';
  var web = window.MAPPER_WEB;
  // Zoom steps past the full size, where tiles are enlarged.
  var OVERZOOM = 3;
  // Zoom steps below the fitted view.
  var UNDERZOOM = 1;
  // Around the map, as the page's style has it.
  var PAGE_COLOUR = '#5a5a5a';

  if (web.title) document.title = web.title;
  var map = L.map('map', {
    crs: L.CRS.Simple,
    maxBoundsViscosity: 1,
    attributionControl: false,
    zoomSnap: 0.25,
    zoomDelta: 1
  });
  var current = null;

  // At zoom 0 one map pixel is one unit of the view.
  function toLatLng(x, y) { return L.latLng(-y, x); }
  function boundsOf(level) {
    return L.latLngBounds(toLatLng(0, level.height), toLatLng(level.width, 0));
  }
  function byZoom(zoom) {
    for (var i = 0; i < web.levels.length; ++i)
      if (web.levels[i].zoom === zoom) return web.levels[i];
    return null;
  }

  // Tiles that are wholly background were not cut: levels.js lists, per
  // pyramid level, one bit a tile, and those left out are drawn here
  // without a request.
  function tileCut(level, c) {
    var k = c.z + level.depth;
    if (k < 0 || k > level.depth || c.x < 0 || c.y < 0 ||
        c.x >= level.columns[k]) return false;
    var i = c.y * level.columns[k] + c.x;
    var digit = parseInt(level.present[k].charAt(i >> 2), 16);
    return !isNaN(digit) && ((digit >> (3 - (i & 3))) & 1) === 1;
  }
  var LevelLayer = L.TileLayer.extend({
    // A tile changed while the page is open is asked for anew.
    getTileUrl: function (coords) {
      var url = L.TileLayer.prototype.getTileUrl.call(this, coords);
      var follow = window.MAPPER_VIEW && window.MAPPER_VIEW.tileQuery;
      return follow ? url + follow(this.level, coords) : url;
    },
    createTile: function (coords, done) {
      if (tileCut(this.level, coords))
        return L.TileLayer.prototype.createTile.call(this, coords, done);
      var blank = document.createElement('div');
      blank.style.background = web.background;
      L.Util.requestAnimFrame(function () { done(null, blank); });
      return blank;
    }
  });

  // The pyramid's deepest level is the map at full size, view zoom 0.
  function makeLayer(level) {
    var layer = new LevelLayer(
      'map_web/z' + level.zoom + '/{z}/{y}/{x}.' + web.format, {
        tileSize: web.tileSize,
        zoomOffset: level.depth,
        minNativeZoom: -level.depth,
        maxNativeZoom: 0,
        minZoom: -64,
        maxZoom: OVERZOOM,
        bounds: boundsOf(level),
        noWrap: true
      });
    layer.level = level;
    return layer;
  }

  var base = {};
  function layerName(level) { return 'Level ' + level.zoom + ' (' + level.name + ')'; }
  web.levels.forEach(function (level) {
    level.layer = makeLayer(level);
    base[layerName(level)] = level.layer;
  });
  var control = L.control.layers(base, null, {collapsed: false}).addTo(map);
  // The pyramid's edge tiles are filled out to full size: the page's own
  // colour covers what lies beyond the map.
  var MASK_MARGIN = 64;
  var mask = L.polygon([], {
    stroke: false, fillColor: PAGE_COLOUR, fillOpacity: 1, interactive: false
  }).addTo(map);
  function maskAround(bounds) {
    var outer = bounds.pad(MASK_MARGIN);
    mask.setLatLngs([
      [outer.getSouthWest(), outer.getNorthWest(), outer.getNorthEast(),
       outer.getSouthEast()],
      [bounds.getSouthWest(), bounds.getNorthWest(), bounds.getNorthEast(),
       bounds.getSouthEast()]
    ]);
  }
  var outline = L.rectangle(boundsOf(web.levels[0]), {
    fill: false, weight: 1, color: '#000', interactive: false
  }).addTo(map);

  var Readout = L.Control.extend({
    options: {position: 'bottomleft'},
    onAdd: function () {
      var box = L.DomUtil.create('div', 'grid-cell');
      box.id = 'grid-cell';
      return box;
    }
  });
  var readout = new Readout().addTo(map);

  function showCell(latlng) {
    var p = latlng ? map.project(latlng, 0) : null;
    var text = '';
    if (p && current && p.x >= 0 && p.y >= 0 && p.x < current.width &&
        p.y < current.height) {
      text = 'column ' +
        (Math.floor(p.x / current.gridTile) + current.minColumn) +
        ', row ' + (Math.floor(p.y / current.gridTile) + current.minRow);
    }
    readout.getContainer().textContent = text;
  }

  function viewHash() {
    var c = map.project(map.getCenter(), 0);
    return '#level=' + current.zoom + '&x=' + Math.round(c.x) + '&y=' +
      Math.round(c.y) + '&zoom=' + Math.round(map.getZoom() * 100) / 100;
  }
  function saveView() {
    if (!current) return;
    var hash = viewHash();
    if (location.hash === hash) return;
    try {
      history.replaceState(null, '', hash);
    } catch (err) {
      location.replace(hash);
    }
  }
  function clamp(value, low, high) {
    return Math.min(Math.max(value, low), high);
  }
  // Any address gives a sane view: an unknown level shows the first one,
  // a point off the map its nearest edge, a zoom out of range the
  // nearest one allowed; what is not a number is left out.
  function readHash() {
    var h = {};
    location.hash.replace(/^#/, '').split('&').forEach(function (pair) {
      var kv = pair.split('=');
      if (kv.length === 2 && kv[1] !== '') h[kv[0]] = Number(kv[1]);
    });
    var level = byZoom(h.level);
    if (!level) return null;
    var view = null;
    if (isFinite(h.x) && isFinite(h.y) && isFinite(h.zoom)) {
      view = {x: clamp(h.x, 0, level.width), y: clamp(h.y, 0, level.height),
              zoom: clamp(h.zoom, minZoomOf(level), OVERZOOM)};
    }
    return {level: level, view: view};
  }

  function minZoomOf(level) {
    return Math.min(map.getBoundsZoom(boundsOf(level)), -level.depth) - UNDERZOOM;
  }

  // Shows level's layer, the layer already on the map; without a view,
  // fitted to the map.
  function useLevel(level, view) {
    current = level;
    var bounds = boundsOf(level);
    outline.setBounds(bounds);
    maskAround(bounds);
    showCell(null);
    map.setMinZoom(minZoomOf(level));
    map.setMaxZoom(OVERZOOM);
    // The view stays over the map: dragging stops at its edges, and a
    // map smaller than the window stays in its middle.
    map.setMaxBounds(bounds);
    if (view)
      map.setView(toLatLng(view.x, view.y), view.zoom, {animate: false});
    else
      map.fitBounds(bounds, {animate: false});
    saveView();
  }
  function switchTo(level, view) {
    var old = current;
    current = level;
    if (old && old !== level) map.removeLayer(old.layer);
    if (!map.hasLayer(level.layer)) map.addLayer(level.layer);
    useLevel(level, view);
  }

  map.on('baselayerchange', function (e) {
    if (e.layer.level !== current) useLevel(e.layer.level, null);
  });
  map.on('moveend', saveView);
  map.on('mousemove click', function (e) { showCell(e.latlng); });
  map.on('mouseout', function () { showCell(null); });
  window.addEventListener('hashchange', function () {
    var wanted = readHash();
    if (wanted && location.hash !== viewHash())
      switchTo(wanted.level, wanted.view);
  });
  document.addEventListener('keydown', function (e) {
    if (e.ctrlKey || e.altKey || e.metaKey || !/^[0-9]$/.test(e.key)) return;
    var level = byZoom(Number(e.key));
    if (level) switchTo(level, null);
  });

  // What follow.js needs to keep the view up with a changing map.
  window.MAPPER_VIEW = {
    map: map,
    byZoom: byZoom,
    current: function () { return current; },
    addLevel: function (level) {
      web.levels.push(level);
      level.layer = makeLayer(level);
      control.addBaseLayer(level.layer, layerName(level));
    },
    // The level's size or origin changed: its layer and, if shown, the
    // view follow, the view shifted by pixels (dx, dy).
    relayout: function (level, dx, dy) {
      var o = level.layer.options;
      o.bounds = boundsOf(level);
      o.zoomOffset = level.depth;
      o.minNativeZoom = -level.depth;
      level.layer.redraw();
      if (level !== current) return;
      var c = map.project(map.getCenter(), 0);
      useLevel(level, {x: c.x + dx, y: c.y + dy, zoom: map.getZoom()});
    }
  };

  var start = readHash();
  switchTo(start ? start.level : web.levels[0], start ? start.view : null);
  // The keyboard's +, - and arrows act on the map from the start.
  map.getContainer().focus();
})();
