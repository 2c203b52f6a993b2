// SPDX-License-Identifier: GPL-3.0-or-later
// The text as it is read: one span per word (a run without blanks; in markup
// the tags are shown apart and are not words), the word being heard inside a
// <mark>, and a chosen word to speak from, by click or by keyboard (arrow
// keys, Home, End, then Enter or Space).

export class Reader {
  // onChoose(offset): speak from this UTF-16 offset of the text.
  constructor(element, onChoose) {
    this.element = element;
    this.onChoose = onChoose;
    this.words = [];      // spans in text order
    this.starts = [];     // their start offsets
    this.marked = null;   // the span holding the <mark>
    this.chosen = -1;     // index of the keyboard's word
    element.addEventListener('click', (event) => {
      const span = event.target.closest('.word');
      if (span && element.contains(span)) {
        this.choose(this.words.indexOf(span));
        this.onChoose(Number(span.dataset.start));
      }
    });
    element.addEventListener('keydown', (event) => this.key(event));
  }

  show(text, markup) {
    this.unmark();
    this.words = [];
    this.starts = [];
    this.chosen = -1;
    this.element.removeAttribute('aria-activedescendant');
    const fragment = document.createDocumentFragment();
    const pattern = markup ? /<[^>]*>?|\s+|[^\s<]+/g : /\s+|\S+/g;
    for (const match of text.matchAll(pattern)) {
      const piece = match[0];
      if (/^\s/.test(piece)) {
        fragment.append(piece);
      } else if (piece.startsWith('<') && markup) {
        const tag = document.createElement('span');
        tag.className = 'tag';
        tag.textContent = piece;
        fragment.append(tag);
      } else {
        const span = document.createElement('span');
        span.className = 'word';
        span.id = 'w' + this.words.length;
        span.dataset.start = match.index;
        span.textContent = piece;
        this.words.push(span);
        this.starts.push(match.index);
        fragment.append(span);
      }
    }
    this.element.replaceChildren(fragment);
  }

  // Shows the text range [begin, end) as the word being heard.
  mark(begin, end) {
    this.unmark();
    const index = this.spanAt(begin);
    if (index < 0) {
      return;
    }
    const span = this.words[index];
    const text = span.textContent;
    const from = begin - this.starts[index];
    const to = Math.min(text.length, Math.max(from + 1, end - this.starts[index]));
    const mark = document.createElement('mark');
    mark.textContent = text.slice(from, to);
    span.replaceChildren(text.slice(0, from), mark, text.slice(to));
    this.marked = span;
    this.reveal(span);
  }

  unmark() {
    if (this.marked) {
      this.marked.textContent = this.marked.textContent;
      this.marked = null;
    }
  }

  // The index of the span holding offset, or -1.
  spanAt(offset) {
    let low = 0;
    let high = this.starts.length - 1;
    let found = -1;
    while (low <= high) {
      const middle = (low + high) >> 1;
      if (this.starts[middle] <= offset) {
        found = middle;
        low = middle + 1;
      } else {
        high = middle - 1;
      }
    }
    if (found >= 0 && offset >= this.starts[found] + this.words[found].textContent.length) {
      return -1;
    }
    return found;
  }

  reveal(span) {
    const box = this.element.getBoundingClientRect();
    const at = span.getBoundingClientRect();
    if (at.top < box.top || at.bottom > box.bottom) {
      span.scrollIntoView({block: 'center', inline: 'nearest'});
    }
  }

  choose(index) {
    if (this.chosen >= 0 && this.words[this.chosen]) {
      this.words[this.chosen].classList.remove('chosen');
    }
    this.chosen = index;
    if (index >= 0) {
      const span = this.words[index];
      span.classList.add('chosen');
      this.element.setAttribute('aria-activedescendant', span.id);
      this.reveal(span);
    }
  }

  key(event) {
    if (this.words.length === 0) {
      return;
    }
    const last = this.words.length - 1;
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
