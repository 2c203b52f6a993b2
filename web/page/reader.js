// SPDX-License-Identifier: GPL-3.0-or-later
// The text as it is read. It is shown as a few text nodes (in markup, the
// tags apart and muted), so that showing even a long text is quick. The word
// being heard is drawn as a CSS highlight ("word"), which changes no layout;
// where the browser has none, it is cut out of its node into a <mark>. The
// word to speak from is chosen by a click, or with the arrow keys (Home, End)
// and then Enter or Space; the keyboard's choice is drawn as the CSS
// highlight "chosen" and announced.

const CHUNK = 2000;  // characters per text node, about

export class Reader {
  // onChoose(offset): speak from this UTF-16 offset of the text.
  // announce(message): tell screen readers.
  constructor(element, onChoose, announce) {
    this.element = element;
    this.onChoose = onChoose;
    this.announce = announce;
    this.show('', false);
    element.addEventListener('click', (event) => this.click(event));
    element.addEventListener('keydown', (event) => this.key(event));
    element.addEventListener('blur', () => this.choose(-1));
  }

  show(text, markup) {
    this.text = text;
    this.markup = markup;
    this.marked = null;
    this.chosen = -1;
    this.nodeStarts = [];  // offset of each text node, in order
    this.nodes = [];
    this.starts = [];      // each word's range
    this.ends = [];
    const fragment = document.createDocumentFragment();
    const addText = (from, to) => {
      for (let at = from; at < to;) {
        let end = Math.min(to, at + CHUNK);
        const blank = end < to ? text.lastIndexOf(' ', end) : -1;
        end = blank > at ? blank + 1 : end;
        const node = document.createTextNode(text.slice(at, end));
        this.nodeStarts.push(at);
        this.nodes.push(node);
        fragment.append(node);
        at = end;
      }
    };
    let at = 0;
    if (markup) {
      for (const tag of text.matchAll(/<[^>]*>?/g)) {
        addText(at, tag.index);
        const span = document.createElement('span');
        span.className = 'tag';
        span.textContent = tag[0];
        fragment.append(span);
        at = tag.index + tag[0].length;
      }
    }
    addText(at, text.length);
    for (const word of text.matchAll(markup ? /[^\s<>]+/g : /\S+/g)) {
      if (!markup || this.locate(word.index)) {
        this.starts.push(word.index);
        this.ends.push(word.index + word[0].length);
      }
    }
    this.element.replaceChildren(fragment);
    if (highlights()) {
      CSS.highlights.delete('chosen');
      CSS.highlights.delete('word');
    }
  }

  // The text node and offset in it of a text offset outside the tags, or null.
  locate(offset) {
    const m = this.marked;
    if (m && offset >= m.begin && offset < m.end) {
      return {node: m.element.firstChild, at: offset - m.begin};
    }
    const i = upperBound(this.nodeStarts, offset) - 1;
    if (i < 0) {
      return null;
    }
    const node = this.nodes[i];
    let at = offset - this.nodeStarts[i];
    if (m && m.node === node && offset >= m.end) {
      return {node: m.after, at: offset - m.end};
    }
    const length = m && m.node === node ? node.length + (m.end - m.begin) + m.after.length : node.length;
    return at < length ? {node, at} : null;
  }

  // The text offset of a point in a text node of the reader, or -1.
  offsetOf(node, at) {
    const m = this.marked;
    if (m && node === m.element.firstChild) {
      return m.begin + at;
    }
    if (m && node === m.after) {
      return m.end + at;
    }
    const i = this.nodes.indexOf(node);
    return i < 0 ? -1 : this.nodeStarts[i] + at;
  }

  // A Range over the text range [begin, end), or null.
  range(begin, end) {
    const from = this.locate(begin);
    const to = end > begin ? this.locate(end - 1) : null;
    if (!from || !to) {
      return null;
    }
    const range = new Range();
    range.setStart(from.node, from.at);
    range.setEnd(to.node, to.at + 1);
    return range;
  }

  // Scrolls the reader to show the box if it is out of sight.
  reveal(at) {
    const box = this.element.getBoundingClientRect();
    if (at.top < box.top || at.bottom > box.bottom) {
      this.element.scrollTop += at.top - box.top - box.height / 2;
    }
  }

  // Shows the text range [begin, end) as the word being heard.
  mark(begin, end) {
    if (highlights()) {
      const range = this.range(begin, end);
      if (range) {
        CSS.highlights.set('word', new Highlight(range));
        this.reveal(range.getBoundingClientRect());
      }
      return;
    }
    this.unmark();
    const place = this.locate(begin);
    if (!place) {
      return;
    }
    const node = place.node;
    const length = Math.max(1, Math.min(end - begin, node.length - place.at));
    const element = document.createElement('mark');
    element.textContent = node.data.slice(place.at, place.at + length);
    const after = document.createTextNode(node.data.slice(place.at + length));
    node.data = node.data.slice(0, place.at);
    node.after(element, after);
    this.marked = {node, element, after, begin, end: begin + length};
    this.reveal(element.getBoundingClientRect());
  }

  unmark() {
    if (highlights()) {
      CSS.highlights.delete('word');
    }
    const m = this.marked;
    if (m) {
      m.node.data += m.element.textContent + m.after.data;
      m.element.remove();
      m.after.remove();
      this.marked = null;
    }
  }

  // The index of the word holding offset, or -1.
  wordAt(offset) {
    const i = upperBound(this.starts, offset) - 1;
    return i >= 0 && offset < this.ends[i] ? i : -1;
  }

  click(event) {
    const point = document.caretPositionFromPoint
      ? document.caretPositionFromPoint(event.clientX, event.clientY)
      : null;
    if (!point) {
      return;
    }
    const word = this.wordAt(this.offsetOf(point.offsetNode, point.offset));
    if (word >= 0) {
      this.onChoose(this.starts[word]);
    }
  }

  choose(index) {
    this.chosen = index;
    this.drawChoice();
    if (index >= 0) {
      const word = this.text.slice(this.starts[index], this.ends[index]);
      this.announce(`${word}: press Enter to speak from here.`);
    }
  }

  drawChoice() {
    if (!highlights()) {
      return;
    }
    const range = this.chosen >= 0 ? this.range(this.starts[this.chosen], this.ends[this.chosen]) : null;
    if (range) {
      CSS.highlights.set('chosen', new Highlight(range));
      this.reveal(range.getBoundingClientRect());
    } else {
      CSS.highlights.delete('chosen');
    }
  }

  key(event) {
    if (this.starts.length === 0) {
      return;
    }
    const last = this.starts.length - 1;
    const at = this.chosen;
    const moves = {
      ArrowRight: Math.min(last, at + 1), ArrowDown: Math.min(last, at + 1),
      ArrowLeft: Math.max(0, at - 1), ArrowUp: Math.max(0, at - 1), Home: 0, End: last,
    };
    if (event.key in moves) {
      this.choose(moves[event.key]);
      event.preventDefault();
    } else if ((event.key === 'Enter' || event.key === ' ') && at >= 0) {
      this.onChoose(this.starts[at]);
      event.preventDefault();
    }
  }
}

function highlights() {
  return Boolean(globalThis.CSS && CSS.highlights && globalThis.Highlight);
}

// The number of values of the sorted array that are <= value.
function upperBound(values, value) {
  let low = 0;
  let high = values.length;
  while (low < high) {
    const middle = (low + high) >> 1;
    if (values[middle] <= value) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}
