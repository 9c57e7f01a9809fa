// The photo pages: the photos of a drive by month, its folders, and one photo at a time.
// Every name and text from the drive goes in as text (textContent), never as markup.
'use strict';

(() => {
  const main = document.getElementById('main');
  const SVG = 'http://www.w3.org/2000/svg';
  const ICONS = {
    folder: 'M3 7a2 2 0 0 1 2-2h4l2 2h8a2 2 0 0 1 2 2v8a2 2 0 0 1-2 2H5a2 2 0 0 1-2-2z',
    file: 'M7 3h7l5 5v11a2 2 0 0 1-2 2H7a2 2 0 0 1-2-2V5a2 2 0 0 1 2-2zM14 3v5h5',
    photo: 'M4 6h16v12H4zM4 15l5-5 4 4 2-2 5 5M15 9.5a1 1 0 1 0 0 .1',
    play: 'M8 5v14l11-7z',
    prev: 'M15 5l-7 7 7 7', next: 'M9 5l7 7-7 7', close: 'M6 6l12 12M18 6L6 18',
    down: 'M12 4v12M6 11l6 6 6-6M5 20h14',
  };
  const state = { drives: [], drive: null, view: 'photos', folder: '0', items: [], next: null, done: false, loading: false, gen: 0 };
  // The page comes with the drives and the first drive's newest photos: the first screen needs
  // no request of its own.
  const boot = (() => {
    try {
      return JSON.parse(document.getElementById('boot').textContent);
    } catch (e) {
      return null;
    }
  })();

  function icon(name, size = 16) {
    const svg = document.createElementNS(SVG, 'svg');
    svg.setAttribute('width', size);
    svg.setAttribute('height', size);
    svg.setAttribute('viewBox', '0 0 24 24');
    svg.setAttribute('aria-hidden', 'true');
    svg.setAttribute('fill', name === 'play' ? 'currentColor' : 'none');
    svg.setAttribute('stroke', 'currentColor');
    svg.setAttribute('stroke-width', '2');
    svg.setAttribute('stroke-linecap', 'round');
    svg.setAttribute('stroke-linejoin', 'round');
    const p = document.createElementNS(SVG, 'path');
    p.setAttribute('d', ICONS[name]);
    svg.append(p);
    return svg;
  }

  function el(tag, attrs = {}, ...kids) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
      if (v === undefined || v === null || v === false) continue;
      if (k === 'text') e.textContent = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else e.setAttribute(k, v === true ? '' : v);
    }
    for (const kid of kids) if (kid !== null && kid !== undefined) e.append(kid);
    return e;
  }

  async function api(what, params = {}) {
    const r = await fetch(`/web/api/${what}?${new URLSearchParams(params)}`, { credentials: 'same-origin' });
    if (r.status === 401) {
      location.assign('/web/signin');
      throw new Error('signed out');
    }
    if (!r.ok) throw new Error(`status ${r.status}`);
    return r.json();
  }

  const fileUrl = (it, which) => `/web/file/${encodeURIComponent(state.drive)}/${encodeURIComponent(it.id)}/${which}`;
  const UTC = { timeZone: 'UTC' };
  // One formatter each: making one per date costs more than the rest of a tile.
  const formatter = (options) => {
    const f = new Intl.DateTimeFormat('en-GB', { ...UTC, ...options });
    return (ms) => f.format(new Date(ms));
  };
  const monthOf = formatter({ month: 'long', year: 'numeric' });
  const dayOf = formatter({ day: 'numeric', month: 'long', year: 'numeric' });
  const timeOf = formatter({ day: 'numeric', month: 'long', year: 'numeric', hour: '2-digit', minute: '2-digit' });
  function sizeText(n) {
    if (n < 1024) return `${n} bytes`;
    const units = ['KB', 'MB', 'GB', 'TB'];
    let v = n / 1024, i = 0;
    while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
    return `${v < 10 ? v.toFixed(1) : Math.round(v)} ${units[i]}`;
  }
  const camera = (it) => [it.make, it.model.startsWith(it.make) ? it.model.slice(it.make.length).trim() : it.model].filter(Boolean).join(' ');
  const kindWord = (it) => (it.kind === 'video' ? 'Video' : it.kind === 'photo' ? 'Photo' : 'File');

  function status(text, busy) {
    main.replaceChildren(el('p', { class: 'status', role: 'status' }, busy ? el('span', { class: 'busy', 'aria-hidden': 'true' }) : null, text));
  }
  function failure(text, retry) {
    main.replaceChildren(el('div', { class: 'empty', role: 'alert' },
      el('h2', { text }), el('p', { text: 'Check that the drive is on and connected, then try again.' }),
      el('button', { class: 'primary', type: 'button', onclick: retry, text: 'Try again' })));
  }

  // The bar: the two views and, with several drives, which one.
  function drawBar() {
    const nav = document.querySelector('.views');
    const link = (view, text) => el('a', { href: `#/${state.drive}/${view}`, 'aria-current': state.view === view ? 'page' : null, text });
    nav.replaceChildren(link('photos', 'Photos'), link('folder/0', 'Folders'));
    if (state.view === 'folder') nav.lastChild.setAttribute('aria-current', 'page');
    const box = document.querySelector('.drives');
    if (state.drives.length < 2) return box.replaceChildren();
    const select = el('select', { 'aria-label': 'Drive', onchange: (e) => { location.hash = `#/${e.target.value}/photos`; } });
    for (const d of state.drives) select.append(el('option', { value: d.id, selected: d.id === state.drive, text: d.online ? d.name : `${d.name} (offline)` }));
    box.replaceChildren(select);
  }

  function tile(it, index) {
    const label = `${it.name}, ${kindWord(it).toLowerCase()}, ${dayOf(it.taken)}`;
    const b = el('button', { class: 'tile', type: 'button', title: it.name, 'aria-label': label, 'data-index': index, 'data-id': it.id,
      onclick: () => openViewer(index, b) });
    const placeholder = () => el('span', { class: 'ph' }, icon(it.kind === 'photo' ? 'photo' : it.kind === 'video' ? 'play' : 'file', 24), el('span', { text: it.name }));
    if (it.tn) {
      const img = el('img', { src: fileUrl(it, 'tn'), alt: '', loading: index < 60 ? 'eager' : 'lazy', decoding: 'async' });
      img.addEventListener('error', () => img.replaceWith(placeholder()));
      b.append(img);
    } else {
      b.append(placeholder());
    }
    if (it.kind === 'video') b.append(el('span', { class: 'kind' }, icon('play', 12)));
    return b;
  }

  // ---- Photos, newest first, a section per month; pages come as the end nears.
  let observer = null;
  function watchEnd(sentinel, more) {
    if (observer) observer.disconnect();
    observer = new IntersectionObserver((entries) => { if (entries.some((e) => e.isIntersecting)) more(); }, { rootMargin: '1500px 0px' });
    observer.observe(sentinel);
  }

  async function showPhotos() {
    const gen = state.gen;
    const list = el('div', { class: 'photos' });
    const sentinel = el('div', { class: 'end', 'aria-hidden': 'true' });
    let month = null, grid = null, count = null, inMonth = 0;
    const add = (items) => {
      for (const it of items) {
        const key = monthOf(it.taken);
        if (key !== month) {
          month = key;
          inMonth = 0;
          count = el('span', { class: 'count' });
          grid = el('div', { class: 'grid', role: 'list' });
          list.append(el('section', { class: 'month', 'aria-label': key }, el('h2', {}, key, count), grid));
        }
        const index = state.items.length;
        state.items.push(it);
        const cell = tile(it, index);
        cell.setAttribute('role', 'listitem');
        grid.append(cell);
        count.textContent = `${++inMonth} ${inMonth === 1 ? 'item' : 'items'}`;
      }
    };
    state.more = async () => {
      if (state.loading || state.done || gen !== state.gen) return;
      state.loading = true;
      try {
        // The next page waits for the first screen's thumbnails: its tiles would only slow them.
        if (state.firstShown) await state.firstShown;
        state.firstShown = null;
        if (gen !== state.gen) return;
        let page;
        if (!state.items.length && boot && boot.photos && boot.photos.d === state.drive) {
          page = boot.photos;
          boot.photos = null; // once: coming back to the view asks again
        } else {
          page = await api('photos', { d: state.drive, n: state.items.length ? 120 : 60, ...(state.next ? { before: state.next } : {}) });
        }
        if (gen !== state.gen) return;
        add(page.items);
        state.next = page.next;
        state.done = !page.next;
        if (state.done) sentinel.remove();
      } catch (e) {
        if (gen === state.gen && !state.items.length) failure('The photos could not be loaded.', route);
      } finally {
        state.loading = false;
      }
      if (gen === state.gen && !state.done && sentinel.isConnected && sentinel.getBoundingClientRect().top < innerHeight + 1500) state.more();
    };
    status('Loading your photos…', true);
    await state.more();
    if (gen !== state.gen || (!state.items.length && !main.querySelector('.status'))) return;
    if (!state.items.length) {
      main.replaceChildren(el('div', { class: 'empty' }, el('h2', { text: 'No photos yet' }),
        el('p', { text: 'Photos and videos backed up from your computer appear here, newest first.' })));
      return;
    }
    main.replaceChildren(el('h1', { class: 'visually-hidden', text: 'Photos' }), list, sentinel);
    state.firstShown = Promise.race([new Promise((ok) => setTimeout(ok, 3000)),
      Promise.all([...list.querySelectorAll('img')].map((i) => i.decode().catch(() => {})))]);
    watchEnd(sentinel, state.more);
  }

  // ---- Folders as they were backed up, with a path bar.
  async function showFolder(id) {
    const gen = state.gen;
    status('Loading the folder…', true);
    let page;
    try {
      page = await api('folder', { d: state.drive, id });
    } catch (e) {
      if (gen === state.gen) failure('The folder could not be loaded.', route);
      return;
    }
    if (gen !== state.gen) return;
    const driveName = (state.drives.find((d) => d.id === state.drive) || {}).name || 'Drive';
    const trail = [{ id: '0', name: driveName }, ...page.path];
    const ol = el('ol');
    trail.forEach((f, i) => {
      const last = i === trail.length - 1;
      ol.append(el('li', {}, last ? el('span', { 'aria-current': 'page', title: f.name, text: f.name })
        : el('a', { href: `#/${state.drive}/folder/${f.id}`, title: f.name, text: f.name })));
    });
    const parts = [el('nav', { class: 'pathbar', 'aria-label': 'Folder path' }, ol)];
    if (page.folders.length) {
      const ul = el('ul', { class: 'folders', 'aria-label': 'Folders' });
      for (const f of page.folders) ul.append(el('li', {}, el('a', { href: `#/${state.drive}/folder/${f.id}`, title: f.name }, icon('folder', 20), el('span', { text: f.name }))));
      parts.push(ul);
    }
    const grid = el('div', { class: 'grid', role: 'list', 'aria-label': 'Files' });
    const sentinel = el('div', { class: 'end', 'aria-hidden': 'true' });
    const add = (items) => {
      for (const it of items) {
        const cell = tile(it, state.items.length);
        state.items.push(it);
        cell.setAttribute('role', 'listitem');
        grid.append(cell);
      }
    };
    add(page.items);
    state.next = page.next;
    state.done = !page.next;
    state.more = async () => {
      if (state.loading || state.done || gen !== state.gen) return;
      state.loading = true;
      try {
        const p = await api('folder', { d: state.drive, id, after: state.next });
        if (gen !== state.gen) return;
        add(p.items);
        state.next = p.next;
        state.done = !p.next;
        if (state.done) sentinel.remove();
      } catch (e) {
        // The next scroll tries again.
      } finally {
        state.loading = false;
      }
    };
    if (page.items.length) parts.push(grid);
    if (!page.items.length && !page.folders.length) parts.push(el('div', { class: 'empty' }, el('h2', { text: 'This folder is empty' })));
    main.replaceChildren(el('h1', { class: 'visually-hidden', text: trail[trail.length - 1].name }), ...parts);
    if (!state.done) {
      main.append(sentinel);
      watchEnd(sentinel, state.more);
    }
  }

  // ---- One photo: the preview filling the window, its facts, previous and next.
  const viewer = { box: null, index: -1, opener: null };
  function canPlay(mime) {
    return !!mime && document.createElement('video').canPlayType(mime) !== '';
  }
  function shownPicture(it) {
    if (it.pv) return fileUrl(it, 'pv');
    if (/^image\/(jpeg|png|gif|webp|avif|bmp)$/i.test(it.mime) && it.stored) return fileUrl(it, 'orig');
    return it.tn ? fileUrl(it, 'tn') : null;
  }

  function drawViewer() {
    const it = state.items[viewer.index];
    const box = viewer.box;
    const stage = el('div', { class: 'stage' });
    if (it.kind === 'video' && (it.st || (it.stored && canPlay(it.mime)))) {
      stage.append(el('video', { src: fileUrl(it, it.st ? 'st' : 'orig'), controls: true, preload: 'metadata', playsinline: true,
        poster: it.pv ? fileUrl(it, 'pv') : it.tn ? fileUrl(it, 'tn') : null, 'aria-label': it.name }));
    } else {
      const src = shownPicture(it);
      if (it.tn && src !== fileUrl(it, 'tn')) stage.append(el('img', { class: 'under', src: fileUrl(it, 'tn'), alt: '' }));
      if (src) {
        // The thumbnail stands in, blurred, until the preview has come.
        const picture = el('img', { class: 'picture', src, alt: it.name });
        picture.addEventListener('load', () => stage.querySelector('.under')?.remove());
        stage.append(picture);
      }
      else stage.append(el('span', { class: 'ph' }, icon('file', 48)));
    }
    const prev = el('button', { class: 'step prev', type: 'button', 'aria-label': 'Previous', disabled: viewer.index === 0, onclick: () => step(-1) }, icon('prev', 24));
    const next = el('button', { class: 'step next', type: 'button', 'aria-label': 'Next', disabled: viewer.index >= state.items.length - 1 && state.done, onclick: () => step(1) }, icon('next', 24));
    stage.append(prev, next);
    let x0 = null;
    stage.addEventListener('pointerdown', (e) => { x0 = e.clientX; });
    stage.addEventListener('pointerup', (e) => {
      if (x0 === null) return;
      const dx = e.clientX - x0;
      x0 = null;
      if (Math.abs(dx) > 50) step(dx < 0 ? 1 : -1);
    });
    const facts = el('dl', { class: 'info' });
    const fact = (k, v) => { if (v) facts.append(el('div', {}, el('dt', { class: 'visually-hidden', text: k }), el('dd', {}, el('b', { text: k }), v))); };
    fact('Taken', timeOf(it.taken));
    fact('Camera', camera(it));
    fact('Size', sizeText(it.size));
    fact('Kind', it.mime || kindWord(it));
    box.replaceChildren(
      el('div', { class: 'top' },
        el('h2', { id: 'viewer-title', title: it.name, text: it.name }),
        it.stored ? el('a', { class: 'icon', href: `${fileUrl(it, 'orig')}?dl=1`, download: it.name, 'aria-label': `Download ${it.name}` }, icon('down'), el('span', { class: 'label', text: 'Download' })) : null,
        el('button', { class: 'icon close', type: 'button', 'aria-label': 'Close', onclick: closeViewer }, icon('close'))),
      stage, facts);
    box.setAttribute('aria-label', it.name);
  }

  async function step(delta) {
    const to = viewer.index + delta;
    if (to < 0) return;
    if (to >= state.items.length) {
      if (state.done || !state.more) return;
      await state.more();
      if (to >= state.items.length) return;
    }
    viewer.index = to;
    drawViewer();
    (viewer.box.querySelector(delta > 0 ? '.next' : '.prev:not([disabled])') || viewer.box.querySelector('.close')).focus();
  }

  function openViewer(index, opener) {
    if (!viewer.box) {
      viewer.box = el('div', { class: 'viewer', role: 'dialog', 'aria-modal': 'true', hidden: true });
      viewer.box.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') closeViewer();
        else if (e.key === 'ArrowRight' && e.target.tagName !== 'VIDEO') step(1);
        else if (e.key === 'ArrowLeft' && e.target.tagName !== 'VIDEO') step(-1);
        else if (e.key === 'Tab') {
          const f = [...viewer.box.querySelectorAll('a, button:not([disabled]), video')];
          const i = f.indexOf(document.activeElement);
          if (e.shiftKey && i <= 0) { f[f.length - 1].focus(); e.preventDefault(); }
          else if (!e.shiftKey && i === f.length - 1) { f[0].focus(); e.preventDefault(); }
        } else return;
        if (e.key !== 'Tab') e.preventDefault();
      });
      document.body.append(viewer.box);
    }
    viewer.index = index;
    viewer.opener = opener;
    drawViewer();
    viewer.box.hidden = false;
    document.body.style.overflow = 'hidden';
    viewer.box.querySelector('.close').focus();
  }

  function closeViewer() {
    if (!viewer.box || viewer.box.hidden) return;
    viewer.box.hidden = true;
    viewer.box.replaceChildren();
    document.body.style.overflow = '';
    const back = main.querySelector(`.tile[data-index="${viewer.index}"]`) || viewer.opener;
    if (back) back.focus();
  }

  // ---- Addresses: #/DRIVE/photos, #/DRIVE/folder/ID.
  function route() {
    closeViewer();
    const m = /^#\/([a-z0-9]+)\/(photos|folder\/(\d+))$/.exec(location.hash);
    const drive = m && state.drives.find((d) => d.id === m[1]) ? m[1] : state.drives[0].id;
    if (!m || drive !== m[1]) {
      location.replace(`#/${drive}/photos`);
      return;
    }
    state.gen++;
    Object.assign(state, { drive, view: m[3] ? 'folder' : 'photos', folder: m[3] || '0', items: [], next: null, done: false, loading: false, more: null, firstShown: null });
    drawBar();
    scrollTo(0, 0);
    if (state.view === 'photos') showPhotos();
    else showFolder(state.folder);
  }

  async function start() {
    try {
      const drives = boot && boot.drives ? boot.drives : (await api('drives')).drives;
      if (boot) boot.drives = null;
      state.drives = drives;
    } catch (e) {
      failure('Your drives could not be listed.', start);
      return;
    }
    if (!state.drives.length) {
      main.replaceChildren(el('div', { class: 'empty' }, el('h2', { text: 'No drive on this account' }),
        el('p', { text: 'A drive appears here once it is set up.' })));
      return;
    }
    addEventListener('hashchange', route);
    route();
  }
  start();
})();
